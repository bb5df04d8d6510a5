// The installed program: `cmake --install` into a staging tree (DESTDIR),
// the Debian package made by CPack, and that package installed by dpkg in a
// throw-away copy of this system.
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

#if !defined(TOVU_BUILD_DIR) || !defined(TOVU_CMAKE_COMMAND) || !defined(TOVU_CPACK_COMMAND)
#error "cmake/packaging.cmake gives the install test the build tree and the cmake commands"
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

    if (has_cues) {
        std::set<std::string> contents;
        for (const char *cue : cue_names) {
            const std::string path = stage + "/usr/share/extras/tovu/" + cue;
            EXPECT_EQ(mode_of(path), 0644) << cue;
            const WavInfo wav = read_wav(path);
            EXPECT_TRUE(wav.valid) << cue;
            EXPECT_EQ(wav.channels, 1u) << cue;
            EXPECT_TRUE(wav.rate == 16000 || wav.rate == 44100) << cue << ": " << wav.rate;
            EXPECT_EQ(wav.bits, 16u) << cue;
            EXPECT_GT(wav.seconds, 0.1) << cue;
            EXPECT_LT(wav.seconds, 0.6) << cue;
            contents.insert(read_file(path));
        }
        EXPECT_EQ(contents.size(), 3u) << "the three cues must sound different";
    }

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
    if (has_cues) {
        for (const char *cue : cue_names) {
            EXPECT_TRUE(exists(stage + "/usr/share/extras/tovu/" + cue)) << cue;
        }
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
    write_file(data + "/start.wav", "my own start sound");
    fs::create_symlink("/home/someone/beep.wav", data + "/stop.wav"); // dangling

    Shell r = install(stage, "/usr");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(data + "/start.wav"), "my own start sound");
    EXPECT_TRUE(fs::is_symlink(data + "/stop.wav"));
    EXPECT_EQ(fs::read_symlink(data + "/stop.wav"), "/home/someone/beep.wav");
    EXPECT_EQ(read_file(data + "/error.wav"), read_file(build_dir + "/cues/error.wav"));
    EXPECT_TRUE(contains(r.out, "Keeping: " + data + "/start.wav")) << r.out;

    // A second install leaves everything as it is, the shipped cue included.
    write_file(data + "/error.wav", "changed since");
    r = install(stage, "/usr");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(data + "/start.wav"), "my own start sound");
    EXPECT_EQ(read_file(data + "/error.wav"), "changed since");
}

// One test for the package: making it is the slow part.
TEST(Package, HasTheRightContentsAndInstallsWithDpkg) {
    const std::string dpkg_record = "/var/lib/dpkg/info/tovu-voice.list";
    const bool installed_here = exists(dpkg_record);
    Sandbox box;
    const std::string out = box.root() + "/package";
    // The project's own CPack configuration, installing with `cmake
    // --install` instead of building the `preinstall` target first (the test
    // runs on a built tree and must not build anything), and compressing
    // faster than a release.
    write_file(box.root() + "/cpack.cmake", "include(\"" + build_dir +
                                                "/CPackConfig.cmake\")\n"
                                                "set(CPACK_INSTALL_CMAKE_PROJECTS \"\")\n"
                                                "set(CPACK_INSTALL_COMMANDS \"" TOVU_CMAKE_COMMAND
                                                " --install " +
                                                build_dir +
                                                " --prefix /usr --strip\")\n"
                                                "set(CPACK_DEBIAN_COMPRESSION_TYPE zstd)\n");
    const Shell made = shell(TOVU_CPACK_COMMAND " -G DEB --config " + quote(box.root()) +
                             "/cpack.cmake -B " + quote(out));
    ASSERT_EQ(made.status, 0) << made.out;
    std::string deb;
    for (const auto &entry : fs::directory_iterator(out)) {
        if (entry.path().extension() == ".deb") {
            deb = entry.path().string();
        }
    }
    ASSERT_FALSE(deb.empty()) << made.out;
    auto trimmed = [](std::string text) {
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return text;
    };
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
        EXPECT_TRUE(contains(depends, std::string(", ") + needed + ",") ||
                    contains(depends, std::string(", ") + needed + " ("))
            << needed << " missing from" << depends;
    }

    // Files: exactly these, owned by root.
    const Shell listing = shell("dpkg-deb --contents " + quote(deb));
    ASSERT_EQ(listing.status, 0) << listing.out;
    std::set<std::string> files;
    std::istringstream lines(listing.out);
    for (std::string mode, owner, size, date, time, path;
         lines >> mode >> owner >> size >> date >> time >> path;) {
        EXPECT_EQ(owner, "root/root") << path;
        if (mode[0] != 'd') {
            files.insert(path);
        }
    }
    std::set<std::string> expected = {
        "./usr/bin/tovu-voice", "./usr/share/man/man1/tovu-voice.1.gz",
        "./usr/bin/tovu-voice-get-model", "./usr/share/man/man1/tovu-voice-get-model.1.gz"};
    if (bundles_vosk) {
        expected.insert("./usr/lib/tovu-voice/libvosk.so");
    }
    if (has_cues) {
        for (const char *cue : cue_names) {
            expected.insert(std::string("./usr/share/extras/tovu/") + cue);
        }
    }
    EXPECT_EQ(files, expected) << listing.out;
    const Shell conffiles =
        shell("dpkg-deb --ctrl-tarfile " + quote(deb) + " | tar -xOf - ./conffiles 2>/dev/null");
    EXPECT_EQ(conffiles.out, has_cues ? "/usr/share/extras/tovu/start.wav\n"
                                        "/usr/share/extras/tovu/stop.wav\n"
                                        "/usr/share/extras/tovu/error.wav\n"
                                      : "");

    // Every shared library that the program and its libvosk need, on this
    // system, comes from a package named in Depends.
    const std::string unpacked = box.root() + "/unpacked";
    ASSERT_EQ(shell("dpkg-deb -x " + quote(deb) + " " + quote(unpacked)).status, 0);
    const Shell needed_libs = shell("ldd " + quote(unpacked + "/usr/bin/tovu-voice") +
                                    " | awk '$2 == \"=>\" && $1 != \"libvosk.so\" {print $3}'");
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
        EXPECT_TRUE(contains(depends, ", " + package + ",") ||
                    contains(depends, ", " + package + " ("))
            << lib << " comes from " << package << ", which Depends lacks";
    }
    EXPECT_GE(checked, 4) << needed_libs.out; // libasound, libstdc++, libgcc_s, libc...

    // The unpacked program runs with nothing set.
    if (bundles_vosk) {
        expect_links_bundled_vosk(unpacked + "/usr/bin/tovu-voice",
                                  unpacked + "/usr/lib/tovu-voice");
    }
    expect_transcribes(box, unpacked + "/usr/bin/tovu-voice");

    // dpkg installs it in a private copy of this system (an overlay on /,
    // in a mount namespace of its own), the installed model installer puts a
    // model from a loopback server in place, the installed program finds it
    // and transcribes a request, and reinstalling keeps a cue that the user
    // replaced.
    ASSERT_TRUE(make_model_archives(box.root() + "/www"));
    const ModelServer server(box.root() + "/www", "");
    const std::string chroot = box.root() + "/chroot";
    fs::create_directories(chroot + "/layers");
    fs::create_directories(chroot + "/merged");
    write_file(chroot + "/asoundrc", "pcm.!default {\n  type file\n  slave.pcm \"null\"\n"
                                     "  file \"/dev/null\"\n  infile \"/tmp/speech.raw\"\n"
                                     "  format \"raw\"\n}\n");
    write_file(chroot + "/inside.sh", R"sh(
set -e
dpkg -i --no-triggers /tmp/tovu-voice.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; exit 1; }
echo "status: $(dpkg-query -W -f='${Status}' tovu-voice)"
mkdir /tmp/home /tmp/work
cp /tmp/asoundrc /tmp/home/.asoundrc
cd /tmp/work
set +e
env -i PATH=/usr/bin:/bin TOVU_MODEL_URL="$1" TOVU_MODEL_SHA256="$2" tovu-voice-get-model >/tmp/get.log 2>&1
echo "get-model exit: $?"
tail -n 1 /tmp/get.log
env -i HOME=/tmp/home PATH=/usr/bin:/bin tovu-voice </dev/null >/tmp/run.log 2>&1
echo "exit: $?"
set -e
grep -a -e '^Model found: ' -e '^Recunoscut: ' /tmp/run.log || cat /tmp/run.log
echo "saved: $(tr '\n' ' ' </tmp/tovu/speech.json)"
echo 'my own start sound' >/usr/share/extras/tovu/start.wav
dpkg -i --no-triggers /tmp/tovu-voice.deb >/tmp/dpkg.log 2>&1 </dev/null || { cat /tmp/dpkg.log; exit 1; }
echo "start.wav after reinstall: $(cat /usr/share/extras/tovu/start.wav)"
)sh");
    const std::string setup =
        "set -e\n"
        "c=" +
        quote(chroot) +
        "\n"
        "mount -t tmpfs tmpfs \"$c/layers\"\n"
        "mkdir \"$c/layers/upper\" \"$c/layers/work\"\n"
        "mount -t overlay overlay "
        "-o \"lowerdir=/,upperdir=$c/layers/upper,workdir=$c/layers/work\" \"$c/merged\"\n"
        "mount --bind /proc \"$c/merged/proc\"\n"
        "mount --bind /dev \"$c/merged/dev\"\n"
        "mount -t tmpfs tmpfs \"$c/merged/tmp\"\n"
        "cp " +
        quote(deb) + " \"$c/merged/tmp/tovu-voice.deb\"\n" + "cp " + quote(fixture("speech.raw")) +
        " \"$c/merged/tmp/speech.raw\"\n" +
        "cp \"$c/asoundrc\" \"$c/inside.sh\" \"$c/merged/tmp/\"\n" +
        "exec chroot \"$c/merged\" /bin/sh /tmp/inside.sh " + quote(server.url("good.zip")) + " " +
        sha256_of(box.root() + "/www/good.zip") + "\n";
    write_file(chroot + "/setup.sh", setup);
    const Shell dpkg =
        shell("unshare --mount --propagation private /bin/sh " + quote(chroot + "/setup.sh"));
    ASSERT_EQ(dpkg.status, 0) << dpkg.out;
    EXPECT_TRUE(contains(dpkg.out, "status: install ok installed\n")) << dpkg.out;
    EXPECT_TRUE(contains(dpkg.out, "get-model exit: 0\ntovu-voice-get-model: installed the model "
                                   "in /usr/share/extras/tovu/model\n"))
        << dpkg.out;
    EXPECT_TRUE(contains(dpkg.out, "\nexit: 0\n")) << dpkg.out;
    EXPECT_TRUE(contains(dpkg.out, "Model found: /usr/share/extras/tovu/model\n")) << dpkg.out;
    EXPECT_TRUE(contains(dpkg.out, "saved: {   \"text\" : \"open the browser\" } \n")) << dpkg.out;
    if (has_cues) {
        EXPECT_TRUE(contains(dpkg.out, "start.wav after reinstall: my own start sound\n"))
            << dpkg.out;
    }
    EXPECT_EQ(exists(dpkg_record), installed_here) << "dpkg touched the real system";
}
