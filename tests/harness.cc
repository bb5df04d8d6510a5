// The test programs' main: GoogleTest, with the testbed's harness set to it.
// What goes wrong around a run is a failure of the current test, each
// sandbox's folder is named after that test, and a failed test's folder is
// kept.
#include "sandbox.h"

#include <gtest/gtest.h>

namespace {

const ::testing::TestInfo *current_test() {
    return ::testing::UnitTest::GetInstance()->current_test_info();
}

void add_failure(const std::string &what) {
    ADD_FAILURE() << what;
}

std::string test_name() {
    const ::testing::TestInfo *info = current_test();
    return info != nullptr ? std::string(info->test_suite_name()) + "." + info->name()
                           : std::string("outside-test");
}

// Outside a test nothing has passed: its folders are kept.
bool test_passed() {
    const ::testing::TestInfo *info = current_test();
    return info != nullptr && !info->result()->Failed();
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    sandbox::reach_trees();
    sandbox::set_harness({add_failure, test_name, test_passed});
    return RUN_ALL_TESTS();
}
