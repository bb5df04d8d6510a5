// The installed program: `cmake --install` into a staging tree (DESTDIR) and
// into a throw-away copy of this system, and the Debian package made by
// CPack, checked by lintian and installed, upgraded, removed and purged with
// apt in such a copy.
#include "model_server.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

#if !defined(TOVU_BUILD_DIR) || !defined(TOVU_CMAKE_COMMAND) || !defined(TOVU_CPACK_COMMAND) ||    \
    !defined(TOVU_SOURCE_DIR) || !defined(TOVU_LINKED_VOSK)
#error "cmake/packaging.cmake gives the install test the trees, libvosk and the cmake commands"
#endif

namespace fs = std::filesystem;
using namespace sandbox;

namespace {

const std::string build_dir = TOVU_BUILD_DIR;
constexpr bool bundles_vosk = TOVU_BUNDLES_VOSK;
constexpr bool has_cues = TOVU_HAS_CUES;
const char *const cue_names[] = {"start.wav", "stop.wav", "error.wav"};

// Installs the build tree into `destdir` with `prefix`.
Shell install(const std::string &destdir, const std::string &prefix) {
    return shell("DESTDIR=" + quote(destdir) + " " + TOVU_CMAKE_COMMAND " --install " +
                 quote(build_dir) + " --prefix " + quote(prefix));
}

int mode_of(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

bool contains(const std::string &haystack, const std::string &needle) {
    return haystack.find(needle) != std::string::npos;
}

// The fields of a PCM WAV file that matter for a cue.
struct WavInfo {
    bool valid = false;
    unsigned channels = 0;
    unsigned rate = 0;
    unsigned bits = 0;
    double seconds = 0;
};

uint32_t le(const std::string &s, size_t at, size_t bytes) {
    uint32_t v = 0;
    for (size_t i = 0; i < bytes; ++i) {
        v |= static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
    }
    return v;
}

WavInfo read_wav(const std::string &path) {
    const std::string s = read_file(path);
    WavInfo info;
    if (s.size() < 12 || s.compare(0, 4, "RIFF") != 0 || s.compare(8, 4, "WAVE") != 0) {
        return info;
    }
    bool have_format = false;
    for (size_t at = 12; at + 8 <= s.size();) {
        const std::string id = s.substr(at, 4);
        const uint32_t size = le(s, at + 4, 4);
        if (id == "fmt " && size >= 16 && at + 24 <= s.size()) {
            have_format = le(s, at + 8, 2) == 1; // PCM
            info.channels = le(s, at + 10, 2);
            info.rate = le(s, at + 12, 4);
            info.bits = le(s, at + 22, 2);
        } else if (id == "data" && have_format && info.rate > 0 && info.bits > 0) {
            info.seconds =
                static_cast<double>(size) / (info.rate * info.channels * (info.bits / 8));
            info.valid = at + 8 + size <= s.size();
            return info;
        }
        at += 8 + size + (size & 1);
    }
    return info;
}

// Runs `binary` on a spoken request with the synthetic model; the real
// libvosk must be found through the binary's own RUNPATH (the run has a
// clean environment). `box` must not have run anything yet.
void expect_transcribes(Sandbox &box, const std::string &binary) {
    setenv("TOVU_BINARY", binary.c_str(), 1);
    box.install_model("model", "extras/tovu/model");
    box.use_audio(fixture("speech.raw"));
    const Result r = box.run();
    unsetenv("TOVU_BINARY");
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Recunoscut: {\n  \"text\" : \"open the browser\"\n}\n")) << r.out;
    EXPECT_EQ(read_file(box.tmp("tovu/speech.json")), "{\n  \"text\" : \"open the browser\"\n}\n");
}

void expect_links_bundled_vosk(const std::string &binary, const std::string &libdir) {
    const Shell runpath = shell("readelf -d " + quote(binary));
    EXPECT_TRUE(contains(runpath.out, "Library runpath: [$ORIGIN/../lib/tovu-voice]"))
        << runpath.out;
    const Shell ldd = shell("ldd " + quote(binary));
    EXPECT_EQ(ldd.status, 0) << ldd.out;
    EXPECT_FALSE(contains(ldd.out, "not found")) << ldd.out;
    const std::string bindir = fs::path(binary).parent_path().string();
    EXPECT_TRUE(contains(ldd.out, "libvosk.so => " + bindir + "/../lib/tovu-voice/libvosk.so"))
        << ldd.out;
    EXPECT_TRUE(fs::equivalent(libdir + "/libvosk.so", bindir + "/../lib/tovu-voice/libvosk.so"));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(libdir + "/libvosk.so")))
        << "the library, not a link to this machine's copy";
}

// The cues as an install lays them out under `root`: the real files in the
// configuration directory, and in the data directory links to them.
void expect_cues_in_place(const std::string &root) {
    std::set<std::string> contents;
    for (const char *cue : cue_names) {
        const std::string file = root + "/etc/tovu-voice/" + cue;
        EXPECT_EQ(mode_of(file), 0644) << cue;
        const WavInfo wav = read_wav(file);
        EXPECT_TRUE(wav.valid) << cue;
        EXPECT_EQ(wav.channels, 1u) << cue;
        EXPECT_TRUE(wav.rate == 16000 || wav.rate == 44100) << cue << ": " << wav.rate;
        EXPECT_EQ(wav.bits, 16u) << cue;
        EXPECT_GT(wav.seconds, 0.1) << cue;
        EXPECT_LT(wav.seconds, 0.6) << cue;
        contents.insert(read_file(file));
        const std::string link = root + "/usr/share/extras/tovu/" + cue;
        EXPECT_TRUE(fs::is_symlink(link)) << cue;
        EXPECT_EQ(fs::read_symlink(link), std::string("/etc/tovu-voice/") + cue);
    }
    EXPECT_EQ(contents.size(), 3u) << "the three cues must sound different";
}

// Makes the Debian package with the project's own CPack configuration into
// `out` and returns its path ("" when that failed, with `log` saying why).
// It installs with `cmake --install` instead of building the `preinstall`
// target first (the test runs on a built tree and must not build anything),
// and compresses faster than a release. (Lintian checks the package that
// README.md's commands make: newcomer_test.cc.)
std::string make_package(const Sandbox &box, const std::string &out, std::string &log) {
    write_file(box.root() + "/cpack.cmake", "include(\"" + build_dir +
                                                "/CPackConfig.cmake\")\n"
                                                "set(CPACK_INSTALL_CMAKE_PROJECTS \"\")\n"
                                                "set(CPACK_INSTALL_COMMANDS \"" TOVU_CMAKE_COMMAND
                                                " --install \\\"" +
                                                build_dir +
                                                "\\\" --prefix /usr --strip\")\n"
                                                "set(CPACK_DEBIAN_COMPRESSION_TYPE zstd)\n");
    const Shell made = shell(TOVU_CPACK_COMMAND " -G DEB --config " + quote(box.root()) +
                             "/cpack.cmake -B " + quote(out));
    log = made.out;
    if (made.status == 0) {
        for (const auto &entry : fs::directory_iterator(out)) {
            if (entry.path().extension() == ".deb") {
                return entry.path().string();
            }
        }
    }
    return "";
}

// Runs `script` (sh, as root) in a throw-away copy of this system: an overlay
// on / whose upper layer is a tmpfs, in a mount namespace of its own, with
// /proc and /dev bound in and a fresh /tmp that holds copies of `files`
// (host paths, by their names) and `asoundrc`, an ALSA configuration that
// makes the default capture device read /tmp/speech.raw. `binds` are host
// directories bound in at the same paths, a parent before what is inside it.
// A whiteout in the upper layer hides the machine's own data directory.
Shell in_system_copy(const Sandbox &box, const std::string &script,
                     const std::vector<std::string> &files,
                     const std::vector<std::string> &binds = {}) {
    const std::string copy = box.root() + "/system-copy";
    fs::create_directories(copy + "/layers");
    fs::create_directories(copy + "/merged");
    write_file(copy + "/asoundrc", "pcm.!default {\n  type file\n  slave.pcm \"null\"\n"
                                   "  file \"/dev/null\"\n  infile \"/tmp/speech.raw\"\n"
                                   "  format \"raw\"\n}\n");
    write_file(copy + "/inside.sh", script);
    std::string setup = "set -e\n"
                        "c=" +
                        quote(copy) +
                        "\n"
                        "mount -t tmpfs tmpfs \"$c/layers\"\n"
                        "mkdir -p \"$c/layers/upper/usr/share/extras\" \"$c/layers/work\"\n"
                        "mknod \"$c/layers/upper/usr/share/extras/tovu\" c 0 0\n"
                        "mount -t overlay overlay "
                        "-o \"lowerdir=/,upperdir=$c/layers/upper,workdir=$c/layers/work\" "
                        "\"$c/merged\"\n"
                        "mount --bind /proc \"$c/merged/proc\"\n"
                        "mount --bind /dev \"$c/merged/dev\"\n"
                        "mount -t tmpfs tmpfs \"$c/merged/tmp\"\n"
                        "cp -r \"$c/asoundrc\" \"$c/inside.sh\"";
    for (const std::string &file : files) {
        setup += " " + quote(file);
    }
    setup += " \"$c/merged/tmp/\"\n";
    for (const std::string &dir : binds) {
        setup += "mkdir -p \"$c/merged\"" + quote(dir) + " && mount --bind " + quote(dir) +
                 " \"$c/merged\"" + quote(dir) + "\n";
    }
    setup += "exec chroot \"$c/merged\" /bin/sh /tmp/inside.sh\n";
    write_file(copy + "/setup.sh", setup);
    return shell("unshare --mount --propagation private /bin/sh " + quote(copy + "/setup.sh"));
}

// The start of a script for in_system_copy(): an ordinary desktop user,
// "desk", with the prepared microphone, and `run_as_desk [MODEL]`, which runs
// the installed program as that user from their home (with the model
// /tmp/MODEL as VOSK_MODEL_PATH) and prints its exit status and then the
// word of the user's own status file; and an earlier install's 0666 status file, linked by nobody.
const std::string desk_user = R"sh(
set -e
useradd --create-home desk
install -D -m 0666 /dev/null /usr/share/extras/tovu/status
su -s /bin/sh -c 'ln /usr/share/extras/tovu/status /var/tmp/status' nobody
r=/run/user/$(id -u desk) && install -d -o desk -g desk -m 0700 $r
cp /tmp/asoundrc /home/desk/.asoundrc
run_as_desk() {
  set +e
  (cd /home/desk && setpriv --reuid=desk --regid=desk --init-groups \
     env -i HOME=/home/desk PATH=/usr/local/bin:/usr/bin:/bin ${1:+VOSK_MODEL_PATH="/tmp/$1"} \
     XDG_RUNTIME_DIR=$r tovu-voice </dev/null >/tmp/run.log 2>&1)
  echo "exit: $?"
  set -e
  echo "status: $(cat $r/tovu-status)"
}
)sh";

// What the desk user's two runs print: a request handed on leaves
// "listening", a request that was only the wake phrase ends with "ready".
const std::string desk_runs = R"sh(
find /usr /etc /var/tmp/status -xdev -perm -o+w ! -type l
su -s /bin/sh -c 'echo filler >>/var/tmp/status' nobody 2>/dev/null || echo "nobody can write"
run_as_desk model
echo "saved: $(tr '\n' ' ' </tmp/tovu/speech.json)"
run_as_desk model_prefix_only
)sh";
const std::string desk_runs_printed = "nobody can write\nexit: 0\nstatus: listening\n"
                                      "saved: {   \"text\" : \"open the browser\" } \n"
                                      "exit: 1\nstatus: ready\n";

std::vector<std::string> desk_files() {
    return {fixture("model"), fixture("model_prefix_only"), fixture("speech.raw")};
}

} // namespace

TEST(Install, PutsProgramManualLibraryAndCuesInPlace) {
    Sandbox box;
    const std::string stage = box.root() + "/stage";
    const Shell r = install(stage, "/usr");
    ASSERT_EQ(r.status, 0) << r.out;

    const std::string binary = stage + "/usr/bin/tovu-voice";
    EXPECT_EQ(mode_of(binary), 0755);

    const std::string man = stage + "/usr/share/man/man1/tovu-voice.1.gz";
    EXPECT_EQ(mode_of(man), 0644);
    const Shell warnings =
        shell("LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l " + quote(man) + " >/dev/null");
    EXPECT_EQ(warnings.status, 0);
    EXPECT_EQ(warnings.out, "") << "the manual page has formatting problems";
    const Shell page = shell("LC_ALL=C.UTF-8 MANWIDTH=200 man -l " + quote(man));
    EXPECT_TRUE(contains(page.out, "tovu-voice - listen for one spoken request")) << page.out;
    for (const char *section :
         {"SYNOPSIS", "DESCRIPTION", "PROCESSOR", "MODEL DIRECTORIES", "RECORD-ONLY MODE",
          "STATUS FILE", "SOUND CUES", "SIGNALS", "EXIT STATUS", "ENVIRONMENT", "FILES"}) {
        EXPECT_TRUE(contains(page.out, std::string("\n") + section + "\n")) << section;
    }
    for (const char *fact : {"VOSK_MODEL_PATH", "/usr/share/extras/tovu/status",
                             "/tmp/tovu/speech.json", "/usr/share/vosk/model", "SIGINT"}) {
        EXPECT_TRUE(contains(page.out, fact)) << fact;
    }

    EXPECT_EQ(mode_of(stage + "/usr/bin/tovu-voice-check-mic"), 0755);
    EXPECT_EQ(mode_of(stage + "/usr/share/man/man1/tovu-voice-check-mic.1.gz"), 0644);

    // The model installer and its own manual page.
    EXPECT_EQ(mode_of(stage + "/usr/bin/tovu-voice-get-model"), 0755);
    const std::string installer_man = stage + "/usr/share/man/man1/tovu-voice-get-model.1.gz";
    EXPECT_EQ(mode_of(installer_man), 0644);
    const Shell installer_page =
        shell("export LC_ALL=C.UTF-8 MANWIDTH=200; man --warnings -l " + quote(installer_man) +
              " 2>&1 >/dev/null; man -l " + quote(installer_man));
    EXPECT_TRUE(installer_page.out.starts_with("TOVU-VOICE-GET-MODEL(1)")) << installer_page.out;
    for (const char *fact : {"TOVU_MODEL_URL", "TOVU_MODEL_SHA256", "https_proxy",
                             "/usr/share/vosk-model-small-en-us-0.15", "EXIT STATUS"}) {
        EXPECT_TRUE(contains(installer_page.out, fact)) << fact;
    }

    for (const char *doc : {"copyright", "changelog.gz"}) {
        EXPECT_EQ(mode_of(stage + "/usr/share/doc/tovu-voice/" + doc), 0644) << doc;
    }
    const std::string copyright = read_file(stage + "/usr/share/doc/tovu-voice/copyright");
    EXPECT_TRUE(contains(copyright, "\nFiles: *\n")) << copyright;
    EXPECT_EQ(contains(copyright, "\nFiles: usr/lib/tovu-voice/libvosk.so\n"), bundles_vosk);

    if (has_cues) {
        expect_cues_in_place(stage);
    }
    // A staged install is for a package, whose postinst makes the status file.
    EXPECT_FALSE(exists(stage + "/usr/share/extras/tovu/status"));

    if (bundles_vosk) {
        EXPECT_EQ(mode_of(stage + "/usr/lib/tovu-voice/libvosk.so"), 0644);
        expect_links_bundled_vosk(binary, stage + "/usr/lib/tovu-voice");
    }
    expect_transcribes(box, binary);
}

TEST(Install, CuesGoToTheFixedDataDirectoryWhateverThePrefix) {
    Sandbox box;
    const std::string stage = box.root() + "/stage";
    const Shell r = install(stage, "/opt/tovu");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string binary = stage + "/opt/tovu/bin/tovu-voice";
    EXPECT_TRUE(exists(binary));
    EXPECT_TRUE(exists(stage + "/opt/tovu/share/man/man1/tovu-voice.1.gz"));
    EXPECT_FALSE(exists(stage + "/opt/tovu/share/extras"));
    EXPECT_TRUE(exists(stage + "/opt/tovu/share/doc/tovu-voice/copyright"));
    if (has_cues) {
        expect_cues_in_place(stage);
    }
    if (bundles_vosk) {
        expect_links_bundled_vosk(binary, stage + "/opt/tovu/lib/tovu-voice");
    }
}

TEST(Install, NeverReplacesCuesThatAreAlreadyThere) {
    if (!has_cues) {
        GTEST_SKIP() << "built without cues";
    }
    Sandbox box;
    const std::string stage = box.root() + "/stage";
    const std::string data = stage + "/usr/share/extras/tovu";
    const std::string config = stage + "/etc/tovu-voice";
    // A file of the user's in place of a link, a dangling link in place of a
    // file, and a cue of their own where the link points.
    write_file(data + "/start.wav", "my own start sound");
    fs::create_directories(config);
    fs::create_symlink("/home/someone/beep.wav", config + "/stop.wav");
    write_file(config + "/error.wav", "my own error sound");

    Shell r = install(stage, "/usr");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(data + "/start.wav"), "my own start sound");
    EXPECT_EQ(read_file(config + "/start.wav"), read_file(build_dir + "/cues/start.wav"));
    EXPECT_EQ(fs::read_symlink(config + "/stop.wav"), "/home/someone/beep.wav");
    EXPECT_EQ(fs::read_symlink(data + "/stop.wav"), "/etc/tovu-voice/stop.wav");
    EXPECT_EQ(read_file(config + "/error.wav"), "my own error sound");
    EXPECT_EQ(fs::read_symlink(data + "/error.wav"), "/etc/tovu-voice/error.wav");
    for (const std::string &kept :
         {data + "/start.wav", config + "/stop.wav", config + "/error.wav"}) {
        EXPECT_TRUE(contains(r.out, "Keeping: " + kept + "\n")) << r.out;
    }

    // A second install leaves everything as it is, the shipped cue included.
    write_file(config + "/start.wav", "changed since");
    r = install(stage, "/usr");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(data + "/start.wav"), "my own start sound");
    EXPECT_EQ(read_file(config + "/start.wav"), "changed since");
    EXPECT_EQ(fs::read_symlink(data + "/error.wav"), "/etc/tovu-voice/error.wav");
}

// Installed for real, without DESTDIR: every user's runs keep their own status.
TEST(Install, IntoTheSystemLetsEveryUserKeepTheStatus) {
    Sandbox box;
    // The install reads the build tree, the sources (its scripts) and the
    // linked libvosk.
    const std::vector<std::string> binds = {TOVU_SOURCE_DIR, build_dir,
                                            fs::path(TOVU_LINKED_VOSK).parent_path().string()};
    const Shell r = in_system_copy(box,
                                   desk_user + TOVU_CMAKE_COMMAND " --install " + quote(build_dir) +
                                       " --prefix /usr/local >/tmp/install.log 2>&1 || "
                                       "{ cat /tmp/install.log; exit 1; }\n" +
                                       desk_runs,
                                   desk_files(), binds);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, desk_runs_printed);
}

// ---- The Debian package -------------------------------------------------------

std::string trimmed(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

bool lists(const std::string &depends, const std::string &package) {
    return contains(depends, ", " + package + ",") || contains(depends, ", " + package + " (");
}

TEST(Package, HasTheRightContents) {
    Sandbox box;
    std::string log;
    const std::string deb = make_package(box, box.root() + "/package", log);
    ASSERT_FALSE(deb.empty()) << log;
    auto field = [&](const std::string &name) {
        return trimmed(shell("dpkg-deb -f " + quote(deb) + " " + name).out);
    };

    // Control fields.
    const std::string arch = trimmed(shell("dpkg --print-architecture").out);
    EXPECT_EQ(fs::path(deb).filename(), "tovu-voice_" + field("Version") + "_" + arch + ".deb");
    EXPECT_EQ(field("Package"), "tovu-voice");
    EXPECT_EQ(field("Architecture"), arch);
    EXPECT_EQ(field("Section"), "sound");
    EXPECT_EQ(field("Recommends"), "pulseaudio-utils");
    EXPECT_NE(field("Maintainer"), "");
    const std::string depends = ", " + field("Depends") + ",";
    for (const char *needed : {"alsa-utils", "libasound2", "libc6", "libstdc++6", "curl",
                               "ca-certificates", "python3"}) {
        EXPECT_TRUE(lists(depends, needed)) << needed << " missing from" << depends;
    }

    // Files: exactly these, owned by root; the cues in /etc, linked to from
    // where the program plays them.
    const Shell listing = shell("dpkg-deb --contents " + quote(deb));
    ASSERT_EQ(listing.status, 0) << listing.out;
    std::set<std::string> files;
    std::istringstream lines(listing.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string mode, owner, size, date, time, path, arrow, target;
        words >> mode >> owner >> size >> date >> time >> path >> arrow >> target;
        EXPECT_EQ(owner, "root/root") << path;
        if (mode[0] == 'l') {
            files.insert(path + " -> " + target);
        } else if (mode[0] != 'd') {
            files.insert(path);
        }
    }
    std::set<std::string> expected = {"./usr/bin/tovu-voice",
                                      "./usr/share/man/man1/tovu-voice.1.gz",
                                      "./usr/bin/tovu-voice-check-mic",
                                      "./usr/share/man/man1/tovu-voice-check-mic.1.gz",
                                      "./usr/bin/tovu-voice-get-model",
                                      "./usr/share/man/man1/tovu-voice-get-model.1.gz",
                                      "./usr/share/doc/tovu-voice/copyright",
                                      "./usr/share/doc/tovu-voice/changelog.gz"};
    if (bundles_vosk) {
        expected.insert("./usr/lib/tovu-voice/libvosk.so");
    }
    std::string expected_conffiles;
    if (has_cues) {
        for (const std::string cue : cue_names) {
            expected.insert("./etc/tovu-voice/" + cue);
            expected.insert("./usr/share/extras/tovu/" + cue + " -> /etc/tovu-voice/" + cue);
            expected_conffiles += "/etc/tovu-voice/" + cue + "\n";
        }
    }
    EXPECT_EQ(files, expected) << listing.out;
    const Shell conffiles =
        shell("dpkg-deb --ctrl-tarfile " + quote(deb) + " | tar -xOf - ./conffiles 2>/dev/null");
    EXPECT_EQ(conffiles.out, expected_conffiles);

    // Every shared library that the program and its libvosk need, on this
    // system, comes from a package named in Depends (what those libraries
    // need in turn, their own packages depend on).
    const std::string unpacked = box.root() + "/unpacked";
    ASSERT_EQ(shell("dpkg-deb -x " + quote(deb) + " " + quote(unpacked)).status, 0);
    const std::string binary = quote(unpacked + "/usr/bin/tovu-voice");
    const Shell needed_libs = shell(
        "objdump -p " + binary + " " + quote(unpacked + "/usr/lib/tovu-voice") +
        "/*.so 2>/dev/null | awk '$1 == \"NEEDED\" {print $2}' | sort -u | while read -r n; do "
        "ldd " +
        binary + " | awk -v n=\"$n\" '$1 == n && n != \"libvosk.so\" {print $3}'; done");
    ASSERT_EQ(needed_libs.status, 0);
    std::istringstream libs(needed_libs.out);
    int checked = 0;
    for (std::string lib; libs >> lib; ++checked) {
        // Debian 12 has merged /usr, but dpkg knows each file by one name.
        const Shell owner =
            shell("p=" + quote(lib) +
                  "; { dpkg -S \"$p\" || dpkg -S \"/usr$p\" || dpkg -S \"${p#/usr}\"; } "
                  "2>/dev/null | head -n1 | cut -d: -f1");
        ASSERT_FALSE(owner.out.empty()) << lib;
        const std::string package = trimmed(owner.out);
        EXPECT_TRUE(lists(depends, package))
            << lib << " comes from " << package << ", which Depends lacks";
    }
    EXPECT_GE(checked, 4) << needed_libs.out; // libasound, libstdc++, libgcc_s, libc...

    // The unpacked program runs with nothing set.
    if (bundles_vosk) {
        expect_links_bundled_vosk(unpacked + "/usr/bin/tovu-voice",
                                  unpacked + "/usr/lib/tovu-voice");
    }
    expect_transcribes(box, unpacked + "/usr/bin/tovu-voice");
}

// Each script below runs in a throw-away copy of this system (see
// in_system_copy). apt installs from the file alone: the Recommends are left
// out, as they would have to be downloaded where they are missing.
const std::string apt_install = "apt install -y --no-install-recommends ";

// `apt install ./tovu-voice_….deb`; every desktop user's runs keep the
// status file up to date; the installed model installer puts a model from a
// loopback server in place, where the installed program finds it.
TEST(Package, InstallsWithAptForEveryUser) {
    const std::string dpkg_record = "/var/lib/dpkg/info/tovu-voice.list";
    const bool installed_here = exists(dpkg_record);
    Sandbox box;
    std::string log;
    const std::string deb = make_package(box, box.root() + "/package", log);
    ASSERT_FALSE(deb.empty()) << log;
    ASSERT_TRUE(make_model_archives(box.root() + "/www"));
    const ModelServer server(box.root() + "/www", "");
    std::vector<std::string> files = desk_files();
    files.push_back(deb);
    const Shell r = in_system_copy(
        box,
        desk_user + apt_install + quote("/tmp/" + fs::path(deb).filename().string()) +
            " >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; exit 1; }\n"
            "echo \"package: $(dpkg-query -W -f='${Status}' tovu-voice)\"\n"
            "[ -e /usr/share/extras/tovu/status ] || echo \"no status file\"\n" +
            desk_runs +
            "env -i PATH=/usr/bin:/bin TOVU_MODEL_URL=" + quote(server.url("good.zip")) +
            " TOVU_MODEL_SHA256=" + sha256_of(box.root() + "/www/good.zip") +
            " tovu-voice-get-model >/tmp/get.log 2>&1 || { cat /tmp/get.log; exit 1; }\n"
            "tail -n 1 /tmp/get.log\n"
            "run_as_desk\n"
            "grep -a '^Model found: ' /tmp/run.log\n"
            "echo \"saved: $(tr '\\n' ' ' </tmp/tovu/speech.json)\"\n",
        files);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "package: install ok installed\nno status file\n" + desk_runs_printed +
                         "tovu-voice-get-model: installed the model in "
                         "/usr/share/extras/tovu/model\n"
                         "exit: 0\nstatus: listening\n"
                         "Model found: /usr/share/extras/tovu/model\n"
                         "saved: {   \"text\" : \"open the browser\" } \n");
    EXPECT_EQ(exists(dpkg_record), installed_here) << "apt touched the real system";
}

// An upgrade to a newer build, whose cues all differ: the cue that the user
// replaced stays (apt's default answer when it asks), the others are
// replaced. Removing the package leaves the configuration; purging it takes
// the configuration and the status file too. A descriptor opened on the earlier
// install's 0666 status file writes into no file at its path after the upgrade.
TEST(Package, UpgradeRemoveAndPurgeWithApt) {
    if (!has_cues) {
        GTEST_SKIP() << "built without cues";
    }
    Sandbox box;
    std::string log;
    const std::string deb = make_package(box, box.root() + "/package", log);
    ASSERT_FALSE(deb.empty()) << log;

    // The newer build: the same package with a higher version and cues that
    // sound different.
    const std::string newer = box.root() + "/newer";
    const Shell repacked = shell(
        "set -e\nd=" + quote(newer) + "\nmkdir -p \"$d\"\ndpkg-deb -R " + quote(deb) +
        " \"$d/tree\"\n"
        "for cue in start stop error; do\n"
        "  sox \"$d/tree/etc/tovu-voice/$cue.wav\" \"$d/$cue.wav\" reverse\n"
        "  cp \"$d/$cue.wav\" \"$d/tree/etc/tovu-voice/$cue.wav\"\n"
        "done\n"
        "sed -i 's/^Version: .*/&+1/' \"$d/tree/DEBIAN/control\"\n"
        "(cd \"$d/tree\" && find etc usr -type f -exec md5sum {} +) >\"$d/tree/DEBIAN/md5sums\"\n"
        "dpkg-deb -Zzstd -b \"$d/tree\" \"$d/tovu-voice-newer.deb\" >/dev/null\n");
    ASSERT_EQ(repacked.status, 0) << repacked.out;

    const std::string old_version = trimmed(shell("dpkg-deb -f " + quote(deb) + " Version").out);
    const Shell r = in_system_copy(
        box,
        apt_install + quote("/tmp/" + fs::path(deb).filename().string()) +
            R"sh( >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; exit 1; }
set -e
c=/etc/tovu-voice
d=/usr/share/extras/tovu
echo 'my own start sound' >$c/start.wav
install -m 0666 /dev/null $d/status
exec 9>>$d/status
apt install -y --no-install-recommends -o Dpkg::Options::=--force-confdef \
  -o Dpkg::Options::=--force-confold /tmp/tovu-voice-newer.deb >/tmp/apt.log 2>&1 ||
  { cat /tmp/apt.log; exit 1; }
echo "upgraded to: $(dpkg-query -W -f='${Version}' tovu-voice)"
echo "start.wav: $(cat $c/start.wav)"
for cue in stop error; do cmp $c/$cue.wav /tmp/$cue.wav && echo "$cue.wav: the newer one"; done
for cue in start stop error; do echo "link: $(readlink $d/$cue.wav)"; done
find /usr /etc -xdev -perm -o+w ! -type l
touch $d/status && echo filler >&9 && echo "status: $(cat $d/status)"

apt remove -y tovu-voice >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; exit 1; }
echo "removed: $(dpkg-query -W -f='${Status}' tovu-voice)"
echo "left: $(ls $c | tr '\n' ' ')/ $(ls $d) / $(cat $c/start.wav)"
[ -e /usr/bin/tovu-voice ] || echo "program gone"

apt purge -y tovu-voice >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; exit 1; }
dpkg-query -W tovu-voice >/dev/null 2>&1 || echo "purged"
[ -e $c ] || echo "configuration gone"
[ -e $d/status ] || echo "status file gone"
[ -e $d ] || echo "data directory gone"
)sh",
        {deb, newer + "/tovu-voice-newer.deb", newer + "/stop.wav", newer + "/error.wav"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "upgraded to: " + old_version +
                         "+1\n"
                         "start.wav: my own start sound\n"
                         "stop.wav: the newer one\n"
                         "error.wav: the newer one\n"
                         "link: /etc/tovu-voice/start.wav\n"
                         "link: /etc/tovu-voice/stop.wav\n"
                         "link: /etc/tovu-voice/error.wav\n"
                         "status: \n"
                         "removed: deinstall ok config-files\n"
                         // dpkg left the newer start.wav beside the user's.
                         "left: error.wav start.wav start.wav.dpkg-dist stop.wav / status / "
                         "my own start sound\n"
                         "program gone\n"
                         "purged\n"
                         "configuration gone\n"
                         "status file gone\n"
                         "data directory gone\n");
}

// Built against a libvosk in /usr/local/lib, the package carries it and runs without that file.
TEST(Package, CarriesALibvoskFromOutside) {
    Sandbox box;
    std::vector<std::string> files = desk_files();
    files.push_back(TOVU_LINKED_VOSK);
    const std::string b = "b=" + quote(build_dir) + " cmake=" TOVU_CMAKE_COMMAND R"sh(
mkdir /tmp/up /tmp/work && cp /tmp/libvosk.so /usr/local/lib
mount -t overlay -o "lowerdir=$b,upperdir=/tmp/up,workdir=/tmp/work" overlay "$b" && cd "$b"
{ "$cmake" -U'*VOSK*' . && "$cmake" --build . -t tovu_installable &&
  "${cmake%/*}/cpack" -G DEB -B /tmp/deb; } >/tmp/log 2>&1 || { cat /tmp/log; exit 1; }
rm /usr/local/lib/libvosk.so && apt install -y --no-install-recommends /tmp/deb/*.deb >/tmp/log 2>&1
dpkg -L tovu-voice | grep libvosk
)sh";
    const Shell r =
        in_system_copy(box, desk_user + b + desk_runs, files, {TOVU_SOURCE_DIR, build_dir});
    EXPECT_EQ(r.out, "/usr/lib/tovu-voice/libvosk.so\n" + desk_runs_printed);
}
