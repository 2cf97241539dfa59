// The Debian package as a user gets it: packed by CPack from this build tree, checked with
// Debian's own tools, extracted into a throwaway root and run from there.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>

#include "support/child_process.h"
#include "support/headless_app.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace lumeno::testing;

namespace {

struct Result {
    int status = -1;
    std::string output;  // standard output and error together
};

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs a shell command, stopped if it takes longer than three minutes.
Result run(const std::string& command) {
    Result result;
    FILE* pipe = ::popen(("timeout 180 sh -c " + shellQuoted(command) + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace

class PackageTest : public ::testing::Test {
protected:
    // Packing takes a while, so the suite packs once and every test reads the same package.
    static void SetUpTestSuite() {
        work_ = std::make_unique<TempDir>("lumeno-package-test");
        const auto packed = run(shellQuoted(CPACK_COMMAND) + " -G DEB --config " +
                                shellQuoted(std::string(LUMENO_BUILD_DIR) + "/CPackConfig.cmake") + " -B " + shellQuoted(work_->str()));
        packOutput_ = packed.output;
        for (const auto& entry : fs::directory_iterator(work_->path()))
            if (entry.path().extension() == ".deb") deb_ = entry.path().string();
        root_ = work_->path() / "root";
        if (!deb_.empty()) run("dpkg -x " + shellQuoted(deb_) + " " + shellQuoted(root_.string()));
    }
    static void TearDownTestSuite() { work_.reset(); }

    void SetUp() override { ASSERT_FALSE(deb_.empty()) << "cpack made no .deb:\n" << packOutput_; }

    static std::string field(const std::string& name) {
        return run("dpkg-deb -f " + shellQuoted(deb_) + " " + name).output;
    }

    static inline std::unique_ptr<TempDir> work_;
    static inline std::string deb_;
    static inline std::string packOutput_;
    static inline fs::path root_;
};

// Dependencies found by dpkg-shlibdeps from the binaries, then the ones no binary links against;
// every installed file under /usr; nothing from lintian but the warnings listed in
// packaging/lintian-known-warnings (the README says why).
TEST_F(PackageTest, DependsOnWhatItLinksAndLoadsHoldsEveryInstalledFileAndSatisfiesLintian) {
    const std::string depends = field("Depends");
    std::set<std::string> names;  // "libc6 (>= 2.34), a | b" gives libc6, a and b
    const std::regex packageName("(^|, | \\| )([a-z0-9][a-z0-9.+-]*)");
    for (std::sregex_iterator it(depends.begin(), depends.end(), packageName), end; it != end; ++it) names.insert((*it)[2]);
    for (const char* name : {"libc6", "libstdc++6", "libqt6core6", "libqt6widgets6", "libqt6dbus6", "libpulse0",
                             "libasound2", "libqrencode4", "libpng16-16", "libpocketsphinx3", "libsamplerate0",
                             "libmp3lame0", "pocketsphinx-en-us", "libqt6svg6", "qt6-qpa-plugins"}) {
        EXPECT_TRUE(names.count(name)) << name << " missing from Depends: " << depends;
    }
    const auto listing = run("dpkg-deb --contents " + shellQuoted(deb_));
    ASSERT_EQ(listing.status, 0) << listing.output;
    for (const char* path : {"./usr/bin/lumeno", "./usr/bin/lumeno-text", "./usr/share/applications/lumeno.desktop",
                             "./usr/share/icons/hicolor/scalable/apps/lumeno.svg", "./usr/share/doc/lumeno/help.html",
                             "./usr/lib/systemd/user/lumeno.service", "./usr/share/man/man1/lumeno.1.gz",
                             "./usr/share/doc/lumeno/copyright", "./usr/share/doc/lumeno/changelog.gz",
                             "./usr/share/lumeno/speech/church.lm.bin", "./usr/share/lumeno/speech/church.dict",
                             "./usr/share/lumeno/speech/letter-to-sound.scm"}) {
        EXPECT_NE(listing.output.find(std::string(" ") + path + "\n"), std::string::npos) << path << "\n" << listing.output;
    }
    const auto known = std::string(LUMENO_SOURCE_DIR) + "/packaging/lintian-known-warnings";
    const auto lintian = run("lintian --fail-on error,warning --suppress-tags-from-file " + shellQuoted(known) + " " + shellQuoted(deb_));
    EXPECT_EQ(lintian.status, 0) << lintian.output;
}

TEST_F(PackageTest, InstalledProgramsRunFromTheExtractedRoot) {
    const auto lumeno = (root_ / "usr/bin/lumeno").string();
    TempDir config;
    ChildProcess app(lumeno,
                     {"--headless", "--demo", "--port", "0", "--bind", "127.0.0.1", "--config-dir", config.str(), "--set",
                      "speechRecognitionEnabled=true"},
                     {"PULSE_SERVER=unix:/nonexistent/lumeno-test"});
    ASSERT_NE(readyPort(app), 0) << app.stderrText();
    ASSERT_TRUE(app.waitForLine("Status: Streaming")) << app.stderrText();
    // Captions come from the shipped church model: none of its lines say it is missing or broken.
    EXPECT_TRUE(app.waitForPrefix("🎤 Final transcription (original): ", std::chrono::seconds(30)));
    for (const auto& line : app.stdoutLines()) EXPECT_EQ(line.find("church language model"), std::string::npos) << line;
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait(), 0);
}

TEST_F(PackageTest, UserUnitPassesSystemdAnalyzeVerify) {
    std::ifstream in(root_ / "usr/lib/systemd/user/lumeno.service");
    std::string unit{std::istreambuf_iterator<char>(in), {}};
    const std::string execStart = "ExecStart=/usr/bin/lumeno --headless";
    ASSERT_NE(unit.find(execStart), std::string::npos) << unit;
    // Extracted, not installed: the copy verified runs the extracted binary; the rest is as shipped.
    unit.replace(unit.find(execStart), execStart.size(), "ExecStart=" + (root_ / "usr/bin/lumeno").string() + " --headless");
    TempDir scratch;
    std::ofstream(scratch / "lumeno.service") << unit;
    fs::create_directory(scratch / "runtime");
    fs::permissions(scratch / "runtime", fs::perms::owner_all);
    const auto verify = run("XDG_RUNTIME_DIR=" + shellQuoted(scratch / "runtime") + " MANPATH=" + shellQuoted((root_ / "usr/share/man").string()) +
                            " systemd-analyze verify --user " + shellQuoted(scratch / "lumeno.service"));
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_EQ(verify.output.find("lumeno.service"), std::string::npos) << verify.output;
}
