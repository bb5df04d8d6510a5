// Which model directory the program picks, seen through the real binary: the
// path it announces and the path the (stand-in) recognizer library is given.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace sandbox;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> fixed_paths = {
    "/usr/share/extras/tovu/model",
    "/usr/share/vosk-model-en-us-0.22",
    "/usr/share/vosk-model-small-en-us-0.15",
    "/usr/share/vosk/model",
};

const std::string no_model_notice = "NOTE: I could not find the Vosk model!\n";

class Discovery : public ::testing::Test {
  protected:
    Discovery() {
        // The run ends right after the model is chosen; without a model it
        // ends right after the (failing) recording.
        box.use_fake_vosk({{"FAKE_VOSK_MODEL", "fail"}});
        box.add_program("arecord", "exit 1\n");
    }

    // Host side of a path under /usr/share as the program sees it.
    std::string host(const std::string &path) const {
        return box.share(path.substr(std::string("/usr/share/").size()));
    }
    void make_dir(const std::string &path) const { fs::create_directories(host(path)); }

    // The model directory the program went for, "" when it found none.
    std::string chosen() {
        const Result r = box.run();
        const std::string announced = "Model found: ";
        const size_t at = r.out.find(announced);
        if (at == std::string::npos) {
            EXPECT_NE(r.out.find(no_model_notice), std::string::npos) << r.out;
            EXPECT_EQ(r.exit_status, 1); // the recording failed
            EXPECT_EQ(box.fake_vosk_calls(), std::vector<std::string>{});
            return "";
        }
        const size_t start = at + announced.size();
        const std::string path = r.out.substr(start, r.out.find('\n', start) - start);
        EXPECT_EQ(r.out.find(no_model_notice), std::string::npos) << r.out;
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(box.fake_vosk_calls(), std::vector<std::string>{"vosk_model_new " + path});
        return path;
    }

    Sandbox box;
};

class FixedPathOrder : public Discovery, public ::testing::WithParamInterface<size_t> {};

// With directories at a fixed path, at every later one and in
// VOSK_MODEL_PATH, the fixed path wins.
TEST_P(FixedPathOrder, FirstDirectoryInTheListWins) {
    for (size_t i = GetParam(); i < fixed_paths.size(); ++i) {
        make_dir(fixed_paths[i]);
    }
    make_dir("/usr/share/my-model");
    box.set_env("VOSK_MODEL_PATH", "/usr/share/my-model");
    EXPECT_EQ(chosen(), fixed_paths[GetParam()]);
}

INSTANTIATE_TEST_SUITE_P(Discovery, FixedPathOrder, ::testing::Values(0, 1, 2, 3));

TEST_F(Discovery, EnvironmentVariableIsTheLastCandidate) {
    const std::string mine = box.root() + "/models/mine";
    fs::create_directories(mine);
    box.set_env("VOSK_MODEL_PATH", mine);
    EXPECT_EQ(chosen(), mine);
}

TEST_F(Discovery, NothingFoundMeansRecordingOnly) {
    EXPECT_EQ(chosen(), "");
}

TEST_F(Discovery, EmptyEnvironmentVariableIsSkipped) {
    box.set_env("VOSK_MODEL_PATH", "");
    EXPECT_EQ(chosen(), "");
}

TEST_F(Discovery, RegularFileIsSkipped) {
    write_file(host(fixed_paths[0]), "not a model");
    make_dir(fixed_paths[2]);
    EXPECT_EQ(chosen(), fixed_paths[2]);
}

TEST_F(Discovery, RegularFileInTheEnvironmentVariableIsSkipped) {
    const std::string file = box.root() + "/model.tar";
    write_file(file, "not a model");
    box.set_env("VOSK_MODEL_PATH", file);
    EXPECT_EQ(chosen(), "");
}

// The directory test follows links; the program names the link.
TEST_F(Discovery, LinkToADirectoryIsAccepted) {
    make_dir("/usr/share/models/en");
    make_dir("/usr/share/vosk");
    fs::create_directory_symlink("/usr/share/models/en", host(fixed_paths[3]));
    EXPECT_EQ(chosen(), fixed_paths[3]);
}

TEST_F(Discovery, LinksToAFileOrToNothingAreSkipped) {
    write_file(host("/usr/share/models/en.zip"), "not a model");
    fs::create_directories(host("/usr/share/extras/tovu"));
    fs::create_symlink("/usr/share/models/en.zip", host(fixed_paths[0]));
    fs::create_symlink("/usr/share/models/gone", host(fixed_paths[1]));
    make_dir(fixed_paths[2]);
    EXPECT_EQ(chosen(), fixed_paths[2]);
}

// Root may read any directory, so these run as an ordinary user.
class DiscoveryAsUser : public Discovery {
  protected:
    DiscoveryAsUser() {
        box.run_as(65534, 65534);
        // The stand-in's log must be writable for that user.
        write_file(box.root() + "/vosk.log", "", 0666);
        make_dir(fixed_paths[0]);
        make_dir(fixed_paths[1]);
    }
};

TEST_F(DiscoveryAsUser, UnreadableDirectoryIsSkipped) {
    chmod(host(fixed_paths[0]).c_str(), 0311);
    EXPECT_EQ(chosen(), fixed_paths[1]);
}

TEST_F(DiscoveryAsUser, ReadableDirectoryIsTaken) {
    chmod(host(fixed_paths[0]).c_str(), 0555);
    EXPECT_EQ(chosen(), fixed_paths[0]);
}

} // namespace
