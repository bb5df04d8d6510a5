// The way a new user goes, as README.md tells it: scripts/setup.sh choosing
// where libvosk comes from and saying what to do when the fetch fails,
// scripts/run.sh fetching a model and listening, and the install and package
// commands working after it alone.
#include "model_server.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <sys/wait.h>

#if !defined(TOVU_SOURCE_DIR) || !defined(TOVU_LINKED_VOSK) || !defined(TOVU_SANITIZED)
#error "cmake/packaging.cmake gives this test the source tree and the linked libvosk"
#endif

namespace fs = std::filesystem;
using namespace sandbox;

namespace {

const std::string source_dir = TOVU_SOURCE_DIR;
const std::string linked_vosk = TOVU_LINKED_VOSK;

bool contains(const std::string &haystack, const std::string &needle) {
    return haystack.find(needle) != std::string::npos;
}

// A libvosk that CMake would find on this machine without being told, as
// scripts/setup.sh looks for one.
bool system_has_vosk() {
    return shell("for f in /usr/local/lib/*-linux-gnu*/libvosk.so /usr/local/lib/libvosk.so "
                 "/usr/lib/*-linux-gnu*/libvosk.so /usr/lib/libvosk.so; do "
                 "[ -f \"$f\" ] && exit 0; done; exit 1")
               .status == 0;
}

// A checkout of scripts/setup.sh alone, in `repo`.
void copy_setup_script(const std::string &repo) {
    fs::create_directories(repo + "/scripts");
    fs::copy_file(source_dir + "/scripts/setup.sh", repo + "/scripts/setup.sh");
}

// Runs the copied setup script with a clean environment plus `env`
// ("NAME=value ...", shell-quoted) and `path`.
Shell run_setup(const Sandbox &box, const std::string &repo, const std::string &path,
                const std::string &env) {
    return shell("cd " + quote(repo) + " && env -i HOME=" + quote(box.root() + "/home") +
                 " PATH=" + quote(path) + " " + env + " scripts/setup.sh");
}

// ---- Where libvosk comes from ---------------------------------------------------------

// A folder for PATH with the commands scripts/setup.sh uses up to the fetch,
// but no npm or Node.js, and an apt-get that only notes what it was asked
// to install, then fails.
std::string path_without_npm(const Sandbox &box) {
    const std::string bin = box.root() + "/nonpm";
    fs::create_directories(bin);
    for (const char *tool : {"bash", "env", "dirname", "sed", "grep", "id", "dpkg-query"}) {
        const Shell where = shell(std::string("command -v ") + tool);
        EXPECT_EQ(where.status, 0) << tool;
        fs::create_symlink(where.out.substr(0, where.out.find('\n')), bin + "/" + tool);
    }
    write_file(bin + "/apt-get",
               "#!/bin/sh\necho \"apt-get $*\" >> " + quote(box.root() + "/apt.log") +
                   "\n[ \"$1\" = update ]\n",
               0755);
    return bin;
}

struct SourceCase {
    const char *name;
    const char *env;     // TOVU_VOSK_LIBRARY: "linked" for the test build's, "" for unset
    bool remembered;     // build/CMakeCache.txt names the test build's libvosk
    int exit_status;     // of scripts/setup.sh
    const char *printed; // part of its output
    bool asks_for_npm;   // apt-get is asked for npm
};

void PrintTo(const SourceCase &c, std::ostream *out) {
    *out << c.name;
}

class VoskSource : public ::testing::TestWithParam<SourceCase> {};

TEST_P(VoskSource, NpmIsInstalledOnlyWhenNoLibvoskIsAtHand) {
    const SourceCase &c = GetParam();
    if (system_has_vosk()) {
        GTEST_SKIP() << "this machine has a libvosk of its own";
    }
    Sandbox box;
    const std::string repo = box.root() + "/repo";
    copy_setup_script(repo);
    if (c.remembered) {
        write_file(repo + "/build/CMakeCache.txt",
                   "TOVU_VOSK_LIBRARY:FILEPATH=" + linked_vosk + "\n");
    }
    const std::string env = std::string(c.env) == "linked"
                                ? "TOVU_VOSK_LIBRARY=" + quote(linked_vosk)
                                : (*c.env != '\0' ? "TOVU_VOSK_LIBRARY=" + quote(c.env) : "");
    const Shell r = run_setup(box, repo, path_without_npm(box), env);
    EXPECT_EQ(r.status, c.exit_status) << r.out;
    EXPECT_TRUE(contains(r.out, c.printed)) << r.out;
    const std::string apt = read_file(box.root() + "/apt.log");
    EXPECT_EQ(contains(apt, " npm"), c.asks_for_npm) << apt;
    EXPECT_FALSE(exists(repo + "/.deps"));
}

INSTANTIATE_TEST_SUITE_P(
    Setup, VoskSource,
    ::testing::Values(SourceCase{"GivenLibrary", "linked", false, 0, "", false},
                      SourceCase{"LibraryRememberedByTheBuildTree", "", true, 0, "", false},
                      SourceCase{"GivenPathIsNoFile", "/nonexistent/libvosk.so", false, 1,
                                 "setup: TOVU_VOSK_LIBRARY=/nonexistent/libvosk.so is not a "
                                 "readable file; it must name a libvosk.so\n",
                                 false},
                      SourceCase{"NoLibraryAnywhere", "", false, 1,
                                 "setup: npm and Node.js are needed once, to fetch libvosk", true}),
    [](const ::testing::TestParamInfo<SourceCase> &info) { return std::string(info.param.name); });

// The registry is an address where nothing listens; npm tries once.
TEST(Setup, FailedFetchShowsNpmsErrorSaysWhatFailedAndHowToGoOn) {
    if (system_has_vosk() || shell("command -v npm").status != 0) {
        GTEST_SKIP() << "libvosk on the system, or no npm";
    }
    Sandbox box;
    const std::string repo = box.root() + "/repo";
    copy_setup_script(repo);
    const Shell r = run_setup(box, repo, "/usr/local/bin:/usr/bin:/bin",
                              "npm_config_registry=http://127.0.0.1:9/ npm_config_fetch_retries=0");
    EXPECT_EQ(r.status, 1) << r.out;
    // npm's own error, then ours.
    const size_t npm_error = r.out.find("ECONNREFUSED");
    const size_t ours =
        r.out.find("setup: could not fetch vosk@0.3.39 from http://127.0.0.1:9/ (npm's error is "
                   "above)\n");
    EXPECT_NE(npm_error, std::string::npos) << r.out;
    ASSERT_NE(ours, std::string::npos) << r.out;
    EXPECT_LT(npm_error, ours) << r.out;
    EXPECT_TRUE(
        r.out.starts_with("setup: fetching vosk@0.3.39 with npm from http://127.0.0.1:9/\n"))
        << r.out;
    for (const char *way_on :
         {"/usr/local/lib/libvosk.so", "TOVU_VOSK_LIBRARY=/path/to/libvosk.so scripts/run.sh"}) {
        EXPECT_TRUE(contains(r.out.substr(ours), way_on)) << way_on << "\n" << r.out;
    }
    EXPECT_FALSE(exists(repo + "/.deps/vosk-0.3.39/libvosk.so"));
}

// ---- Installing after scripts/run.sh alone ------------------------------------------

// A fresh clone of a user's on a machine without the test tools: the user's
// scripts/run.sh builds the program, fetches a model from a loopback server
// and runs the program, which listens; then README.md's commands install it
// (as root) and make the Debian package (as the user), with nothing built in
// between, and lintian accepts that package.
TEST(Newcomer, RunScriptFetchesAModelAndListensThenInstallAndPackageWork) {
    if (TOVU_SANITIZED || std::getenv("TOVU_RUN_WRAPPER") != nullptr) {
        GTEST_SKIP() << "checks the scripts, not the program's memory";
    }
    Sandbox box;
    const std::string repo = box.root() + "/repo";
    fs::create_directories(repo);
    for (const char *part :
         {"CMakeLists.txt", "cmake", "man", "scripts", "src", "testbed", "bench", "tests"}) {
        fs::copy(source_dir + "/" + part, repo + "/" + part, fs::copy_options::recursive);
    }
    // The libvosk that scripts/setup.sh fetched for this tree, or the one it
    // was given.
    const std::string fetched = source_dir + "/.deps/vosk-0.3.39/libvosk.so";
    if (fs::exists(fetched) && fs::equivalent(fetched, linked_vosk)) {
        fs::create_directories(repo + "/.deps/vosk-0.3.39");
        fs::create_symlink(fetched, repo + "/.deps/vosk-0.3.39/libvosk.so");
    } else {
        box.set_env("TOVU_VOSK_LIBRARY", linked_vosk);
    }
    // As on a machine without GoogleTest, where the test suite is left out.
    write_file(repo + "/build/CMakeCache.txt", "TOVU_TESTS:BOOL=OFF\n");
    const std::string user = "1236";
    ASSERT_EQ(shell("chown -R -h " + user + ":" + user + " " + quote(repo)).status, 0);
    box.run_as(1236, 1236);
    // The model installer goes through sudo, which this user may not use:
    // the stand-in runs it as the user, who owns the data directory instead.
    box.add_program("sudo", "exec \"$@\"\n");
    ASSERT_EQ(shell("chown " + user + ":" + user + " " + quote(box.data_dir())).status, 0);
    ASSERT_TRUE(make_model_archives(box.root() + "/www"));
    const ModelServer server(box.root() + "/www", "");
    box.set_env("TOVU_MODEL_SHA256", sha256_of(box.root() + "/www/good.zip"));
    setenv("TOVU_BINARY", (repo + "/scripts/run.sh").c_str(), 1);

    // Without a server to reach: one line says so, and the program runs
    // without a model (a recording that works).
    box.set_env("TOVU_MODEL_URL", "http://127.0.0.1:9/vosk-model-test.zip");
    box.add_program("arecord", "for f in \"$@\"; do :; done\nhead -c 1000 /dev/zero > \"$f\"\n");
    const Result offline = box.run(std::chrono::minutes(5));
    ASSERT_EQ(offline.exit_status, 0) << offline.out << offline.err;
    EXPECT_TRUE(offline.out.starts_with(
        "tovu-voice-get-model: fetching http://127.0.0.1:9/vosk-model-test.zip into "
        "/usr/share/extras/tovu/model (TOVU_NO_MODEL_FETCH=1 skips this)\n" +
        banner))
        << offline.out;
    EXPECT_TRUE(offline.out.ends_with("Recording audio... OK (1000 bytes)\n")) << offline.out;
    EXPECT_EQ(count_of(offline.err, "tovu-voice-get-model: could not download "), 1u)
        << offline.err;
    EXPECT_EQ(read_file(box.data_dir("status")), "ready\n");
    EXPECT_EQ(count_of(shell("ls -A " + quote(box.data_dir())).out, "\n"), 1u);

    // With the server: the model is fetched, and the program listens.
    box.set_env("TOVU_MODEL_URL", server.url("good.zip"));
    box.use_audio(fixture("speech.raw"));
    const Result run = box.run(std::chrono::minutes(5));
    unsetenv("TOVU_BINARY");
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("tovu-voice-get-model: installed the model in "
                           "/usr/share/extras/tovu/model\n" +
                           initialized + "Listening... "),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Recunoscut: {\n  \"text\" : \"open the browser\"\n}\n"),
              std::string::npos)
        << run.out;

    // sudo cmake --install build (staged: the test must not install)
    const std::string stage = box.root() + "/stage";
    const Shell installed =
        shell("cd " + quote(repo) + " && DESTDIR=" + quote(stage) + " cmake --install build");
    ASSERT_EQ(installed.status, 0) << installed.out;
    for (const char *file :
         {"/usr/local/bin/tovu-voice", "/usr/local/share/man/man1/tovu-voice.1.gz",
          "/usr/local/bin/tovu-voice-get-model",
          "/usr/local/share/man/man1/tovu-voice-get-model.1.gz",
          "/usr/local/share/doc/tovu-voice/copyright", "/usr/local/lib/tovu-voice/libvosk.so",
          "/etc/tovu-voice/start.wav", "/etc/tovu-voice/stop.wav", "/etc/tovu-voice/error.wav"}) {
        EXPECT_TRUE(fs::is_regular_file(stage + file)) << file << "\n" << installed.out;
    }
    for (const char *cue : {"start.wav", "stop.wav", "error.wav"}) {
        EXPECT_TRUE(fs::is_symlink(stage + "/usr/share/extras/tovu/" + cue)) << cue;
    }

    // (cd build && cpack -G DEB), by the user, after root's install
    const Shell packed =
        shell("cd " + quote(repo) + " && setpriv --reuid=" + user + " --regid=" + user +
              " --clear-groups sh -c '(cd build && cpack -G DEB)'");
    ASSERT_EQ(packed.status, 0) << packed.out;
    const std::string arch = shell("dpkg --print-architecture").out;
    const std::string deb =
        repo + "/build/tovu-voice_1.1.0_" + arch.substr(0, arch.find('\n')) + ".deb";
    ASSERT_TRUE(fs::is_regular_file(deb)) << packed.out;
    const Shell listing = shell("dpkg-deb --contents " + quote(deb) + " | awk '{print $6}'");
    for (const char *file : {"./usr/bin/tovu-voice", "./usr/share/man/man1/tovu-voice.1.gz",
                             "./usr/bin/tovu-voice-get-model", "./usr/lib/tovu-voice/libvosk.so",
                             "./etc/tovu-voice/start.wav"}) {
        EXPECT_TRUE(contains(listing.out, std::string(file) + "\n")) << file << "\n" << listing.out;
    }

    // Debian's own checker finds neither an error nor a warning in it. (Its
    // notes, of kind "I", are about libvosk as Alpha Cephei build it.)
    const Shell lintian = shell("lintian --fail-on error,warning " + quote(deb));
    EXPECT_EQ(lintian.status, 0) << lintian.out;
    std::istringstream lines(lintian.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_FALSE(line.starts_with("E: ") || line.starts_with("W: ")) << line;
    }
}

} // namespace
