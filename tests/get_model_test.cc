// The model installer, scripts/get-model.sh (tovu-voice-get-model once
// installed), against a loopback server of the test's own: a good archive
// ends up where the program loads it, and every failure leaves the
// destination and its parent exactly as they were.
#include "model_server.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <optional>
#include <ostream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef TOVU_GET_MODEL
#error "tests/CMakeLists.txt names the model installer"
#endif

namespace fs = std::filesystem;
using namespace sandbox;

namespace {

// Every entry of the folder and the folder itself, with type, mode, size and
// modification time.
std::string listing(const std::string &dir) {
    return shell("find " + quote(dir) + " -printf '%p %y %m %s %T@\\n' | sort").out;
}

// The names in a folder, one a line.
std::string names_in(const std::string &dir) {
    return shell("ls -A " + quote(dir)).out;
}

// A port on 127.0.0.1 where nothing listens, for as long as this exists.
struct DeadPort {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    DeadPort() {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        if (bind(fd, reinterpret_cast<sockaddr *>(&at), size) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&at), &size) == 0) {
            port = ntohs(at.sin_port);
        }
    }
    ~DeadPort() { close(fd); }
};

// A file system of `kb` KiB mounted on `dir`, in a mount namespace of this
// test process's own.
struct SmallDisk {
    std::string dir;
    SmallDisk(std::string at, int kb) : dir(std::move(at)) {
        static const bool private_mounts =
            unshare(CLONE_NEWNS) == 0 &&
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        const std::string options = "size=" + std::to_string(kb) + "k";
        EXPECT_TRUE(private_mounts &&
                    mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0);
    }
    ~SmallDisk() { umount2(dir.c_str(), MNT_DETACH); }
};

class GetModel : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(make_model_archives(www)); }

    // The installer, with DIR when it is not "" (under box.tmp(): as the run sees it, root's).
    void use_installer(std::string dir) {
        if (dir.starts_with(box.tmp())) {
            dir = "/tmp" + dir.substr(box.tmp().size());
        }
        box.set_command(quote(TOVU_GET_MODEL) + (dir.empty() ? "" : " " + quote(dir)));
    }
    void use_source(const std::string &url, const std::string &archive) {
        box.set_env("TOVU_MODEL_URL", url);
        box.set_env("TOVU_MODEL_SHA256", sha256_of(www + "/" + archive));
    }
    // The files of the generated model are directly in `dir`.
    void expect_model_in(const std::string &dir) {
        for (const char *file : {"am/final.mdl", "conf/model.conf", "graph/HCLG.fst"}) {
            EXPECT_EQ(read_file(dir + "/" + file), read_file(fixture("model/") + file)) << file;
        }
        EXPECT_EQ(read_file(dir + "/README"), "a generated model\n");
    }

    Sandbox box;
    const std::string www = box.root() + "/www";
    const std::string parent = box.tmp("parent");
    Fifo events{box.root() + "/events.fifo"};
    ModelServer server{www, events.path()};
};

TEST_F(GetModel, InstallsAModelThatTheProgramLoads) {
    use_source(server.url("good.zip"), "good.zip");
    use_installer("");
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "tovu-voice-get-model: fetching " + server.url("good.zip") +
                         " into /usr/share/extras/tovu/model\n"
                         "tovu-voice-get-model: installed the model in "
                         "/usr/share/extras/tovu/model\n");
    expect_model_in(box.data_dir("model"));
    EXPECT_EQ(names_in(box.data_dir()), "model\n");
    struct stat st {};
    EXPECT_TRUE(stat(box.data_dir("model/am").c_str(), &st) == 0 && (st.st_mode & 07777) == 0755);
    EXPECT_TRUE(stat(box.data_dir("model/am/final.mdl").c_str(), &st) == 0 &&
                (st.st_mode & 07777) == 0644);

    box.set_command("");
    box.use_audio(fixture("speech.raw"));
    const Result run = box.run();
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_TRUE(run.out.starts_with(initialized + "Listening... ")) << run.out;
    EXPECT_NE(run.out.find("Recunoscut: {\n  \"text\" : \"open the browser\"\n}\n"),
              std::string::npos)
        << run.out;
}

// Through the proxy of the usual variable: the server is asked for the
// address itself, whose host does not exist.
TEST_F(GetModel, InstallsIntoDirThroughAProxyCreatingWhatIsMissing) {
    for (const bool empty_dir_there : {false, true}) {
        SCOPED_TRACE(empty_dir_there ? "an empty directory there" : "no parent folder yet");
        const std::string dir = parent + (empty_dir_there ? "/small" : "/new/small");
        fs::remove_all(parent);
        fs::create_directories(empty_dir_there ? dir : parent);
        box.set_env("http_proxy", "http://127.0.0.1:" + std::to_string(server.port()));
        use_source("http://models.example.invalid/good.zip", "good.zip");
        use_installer(dir);
        const Result r = box.run();
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        expect_model_in(dir);
        EXPECT_EQ(names_in(fs::path(dir).parent_path()), "small\n");
        EXPECT_EQ(server.requests().back(), "GET http://models.example.invalid/good.zip");
    }
}

TEST_F(GetModel, KeepsAModelThatIsThereAndAsksForNothing) {
    fs::create_directories(parent);
    fs::copy(fixture("model"), parent + "/model", fs::copy_options::recursive);
    const std::string before = listing(parent);
    use_source(server.url("good.zip"), "good.zip");
    use_installer(parent + "/model");
    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" already holds a model; it is kept and nothing was downloaded"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(listing(parent), before);
    EXPECT_TRUE(server.requests().empty());
}

// As root, a missing folder that another user makes first (here nobody, in
// the sticky /tmp) is refused, and nothing is made in it.
TEST_F(GetModel, RefusesAFolderThatAnotherUserMadeFirst) {
    box.add_program("mkdir",
                    "setpriv --reuid=65534 --regid=65534 --clear-groups /bin/mkdir \"$@\"\n"
                    "exec /bin/mkdir \"$@\"\n");
    use_source(server.url("good.zip"), "good.zip");
    use_installer(box.tmp("theirs/model"));
    const Result r = box.run();
    EXPECT_NE(r.err.find("as root: /tmp/theirs belongs to"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(names_in(box.tmp("theirs")), "");
}

struct Failure {
    const char *name;
    const char *path;     // on the server; "" for a port where nothing listens
    const char *checksum; // archive whose SHA-256 is given; "" for the one served, "-" for none
    const char *dir;      // the destination, in the folder "parent"
    const char *message;  // part of the one line on standard error
    bool asks = true;     // whether the server is asked at all
    int disk_kb = 0;      // "parent" is a file system of this size
    bool half_model_there = false;
    bool empty_model_there = false; // a model whose am/final.mdl is empty
    bool under_sudo = false;
    uid_t parent_owner = 0;
};

void PrintTo(const Failure &c, std::ostream *out) {
    *out << c.name;
}

class GetModelFails : public GetModel, public ::testing::WithParamInterface<Failure> {};

TEST_P(GetModelFails, SaysWhatFailedAndChangesNothing) {
    const Failure &c = GetParam();
    fs::create_directories(parent);
    std::optional<SmallDisk> disk;
    if (c.disk_kb > 0) {
        disk.emplace(parent, c.disk_kb);
    }
    write_file(parent + "/keep.txt", "the user's own\n");
    if (c.half_model_there) {
        write_file(parent + "/model/am/final.mdl", "half a model");
    }
    if (c.empty_model_there) {
        fs::copy(fixture("model"), parent + "/model", fs::copy_options::recursive);
        write_file(parent + "/model/am/final.mdl", "");
    }
    box.set_env("SUDO_USER", c.under_sudo ? "someone" : "");
    EXPECT_EQ(chown(parent.c_str(), c.parent_owner, 0), 0);
    const DeadPort dead;
    const std::string url =
        *c.path ? server.url(c.path) : "http://127.0.0.1:" + std::to_string(dead.port) + "/m.zip";
    use_source(url, *c.checksum && *c.checksum != '-' ? c.checksum : c.path);
    if (*c.checksum == '-') {
        box.set_env("TOVU_MODEL_SHA256", "");
    }
    box.set_env("TOVU_MODEL_STALL_SECONDS", "1");
    use_installer(parent + "/" + c.dir);
    const std::string before = listing(parent);

    const Result r = box.run();
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_TRUE(r.err.starts_with("tovu-voice-get-model: ")) << r.err;
    EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(listing(parent), before);
    EXPECT_EQ(server.requests().size(), c.asks && *c.path ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    GetModel, GetModelFails,
    ::testing::Values(
        Failure{"WrongChecksum", "good.zip", "truncated.zip", "model",
                "does not match its SHA-256 checksum"},
        Failure{"TruncatedArchive", "truncated.zip", "", "model",
                "is not a usable model archive: it is not a zip archive"},
        Failure{"NotFoundInFoldersToBeMade", "missing.zip", "good.zip", "new/deeper/model",
                "The requested URL returned error: 404"},
        Failure{"ServerClosesMidTransfer", "cut-good.zip", "good.zip", "model",
                "transfer closed with"},
        Failure{"NothingListens", "", "good.zip", "model", "Couldn't connect to server"},
        Failure{"TransferStalls", "stall-good.zip", "good.zip", "model", "Operation too slow"},
        Failure{"EntryOutside", "dotdot.zip", "", "model",
                "'vosk-model-test/../escaped' would land outside the destination"},
        Failure{"AbsoluteEntry", "absolute.zip", "", "model", "'/tmp/escaped' is an absolute path"},
        Failure{"LinkOut", "link.zip", "", "model",
                "'vosk-model-test/graph/etc' is a symbolic link"},
        Failure{"NoModelInIt", "nomodel.zip", "", "model", "holds no Vosk model"},
        Failure{"NoTopFolder", "flat.zip", "", "model", "does not hold exactly one top folder"},
        Failure{"DiskFullDownloading", "big.zip", "", "model", "could not store the download", true,
                1024},
        Failure{"NoRoomToUnpack", "big.zip", "", "model", "cannot unpack the model beside", true,
                3072},
        Failure{"AddressWithoutChecksum", "good.zip", "-", "model",
                "TOVU_MODEL_URL and TOVU_MODEL_SHA256 go together", false},
        Failure{"HalfAModelThere", "good.zip", "", "model", "exists but is not a model", false, 0,
                true},
        Failure{"EmptyModelThere", "good.zip", "", "model", "exists but is not a model", false, 0,
                false, true},
        Failure{"NothingListensUnderSudo", "", "good.zip", "model",
                "sudo https_proxy=$https_proxy tovu-voice-get-model", true, 0, false, false, true},
        Failure{"ParentOfAnotherUser", "good.zip", "", "model", "refusing to install into", false,
                0, false, false, false, 65534}),
    [](const ::testing::TestParamInfo<Failure> &info) { return std::string(info.param.name); });

// The server has sent half of the archive and waits; the signal goes to the
// installer alone, which must end its download at once (it would stall for
// 30 s otherwise) and remove it.
class GetModelStopped : public GetModel, public ::testing::WithParamInterface<int> {};

TEST_P(GetModelStopped, MidDownloadLeavesNothing) {
    fs::create_directories(parent);
    write_file(parent + "/keep.txt", "the user's own\n");
    const std::string before = listing(parent);
    use_source(server.url("stall-big.zip"), "big.zip");
    use_installer(parent + "/model");
    Process installer = box.start();
    ASSERT_EQ(events.read_line(), "stalled");
    kill(installer.pid(), GetParam());
    const Result r = installer.finish(std::chrono::seconds(10));
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_EQ(r.err, "tovu-voice-get-model: interrupted; nothing was changed\n");
    EXPECT_EQ(listing(parent), before);
}

INSTANTIATE_TEST_SUITE_P(GetModel, GetModelStopped, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// Killed outright mid-download, as by the OOM killer: its download lives on
// until it gives up (1 s here), holding the lock. Two runs started again at
// once, from a file address with [x] and { in it: one installs, the other
// keeps that model, and nothing else is left.
TEST_F(GetModel, KilledOutrightThenTwoAtOnceInstallOneModelAndLeaveNothingElse) {
    fs::create_directories(parent);
    box.set_env("TOVU_MODEL_STALL_SECONDS", "1");
    use_source(server.url("stall-good.zip"), "good.zip");
    use_installer(parent + "/model");
    Process killed = box.start();
    ASSERT_EQ(events.read_line(), "stalled");
    kill(killed.pid(), SIGKILL);
    fs::copy_file(www + "/good.zip", box.tmp("good[x]{.zip"));
    use_source("file:///tmp/good[x]{.zip", "good.zip");
    Process first = box.start();
    Process second = box.start_beside(first.pid());
    const Result r1 = first.finish(), r2 = second.finish();
    EXPECT_EQ(r1.exit_status, 0) << r1.err;
    EXPECT_EQ(r2.exit_status, 0) << r2.err;
    EXPECT_EQ(count_of(r1.out + r2.out, "installed the model in"), 1u) << r1.out << r2.out;
    expect_model_in(parent + "/model");
    EXPECT_EQ(names_in(parent), "model\n");
    fs::create_directory(parent + "/.model.get-model.KILLED"); // killed after its rename
    EXPECT_EQ(box.run().exit_status, 0);
    EXPECT_EQ(names_in(parent), "model\n");
}

} // namespace
