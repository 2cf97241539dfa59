// The real lumeno binary as an operator runs it: options, the listener server, clean shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/child_process.h"
#include "support/headless_app.h"
#include "support/temp_dir.h"
#include "support/test_client.h"

using namespace std::chrono_literals;
using lumeno::testing::ChildProcess;
using lumeno::testing::fetch;
using lumeno::testing::readyPort;
using lumeno::testing::TempDir;
namespace fs = std::filesystem;

namespace {

// No capture device exists in these tests; a dead PulseAudio address makes that explicit and fast.
const std::vector<std::string> kEnvironment = {"PULSE_SERVER=unix:/nonexistent/lumeno-test"};

std::vector<std::string> headlessArgs(const TempDir& config, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--headless", "--port", "0", "--bind", "127.0.0.1", "--config-dir", config.str()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST(ServerCliTest, ServesAndOnEveryStopSignalExitsCleanlyWithTheSettingsOfItsCommandLineSaved) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        TempDir config;
        ChildProcess app(LUMENO_BINARY, headlessArgs(config, {"--set", "customTitle=Chapel", "--set", "autoGainEnabled=true"}),
                         kEnvironment);
        const auto port = readyPort(app);
        ASSERT_NE(port, 0) << app.stderrText();
        EXPECT_EQ(fetch(port, "GET /status HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
        app.signal(signal);
        EXPECT_EQ(app.wait(), 0) << "signal " << signal;
        const std::string settings = readFile(config.path() / "settings.json");
        EXPECT_NE(settings.find("\"customTitle\": \"Chapel\""), std::string::npos) << settings;
        EXPECT_NE(settings.find("\"autoGainEnabled\": true"), std::string::npos) << settings;
    }
}

TEST(ServerCliTest, AStopSignalDuringStartupEndsTheProcess) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        TempDir config;
        ChildProcess app(LUMENO_BINARY, headlessArgs(config), kEnvironment);
        app.signal(signal);  // at whatever point of startup it has reached
        const auto status = app.wait(10s);
        ASSERT_TRUE(status) << "signal " << signal << " was not acted on";
        EXPECT_TRUE(*status == 0 || *status == 128 + signal) << *status;
    }
}

// Whatever it was told, a service that cannot run says why and exits 2 before writing anything:
// a stored streaming switch is not saved alongside a value it refuses.
TEST(ServerCliTest, BadCommandLinesAndUnusableInputsExitWithStatusTwoAndWriteNothing) {
    TempDir dir;
    std::ofstream(dir / "notes.wav") << "these are notes, not audio";
    ASSERT_EQ(::mkfifo((dir / "input.fifo").c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--set", "autoGainEnabled=maybe"}, "autoGainEnabled takes true or false"},
        {{"--set", "noSuchKey=1"}, "unknown setting 'noSuchKey'"},
        {{"--input-file", dir / "notes.wav"}, "is not a WAV file"},
        // Opening a FIFO would wait for a writer with the stop signals held back.
        {{"--input-file", dir / "input.fifo"}, "is not a regular file"},
    };
    for (const auto& c : cases) {
        auto args = headlessArgs(dir, {"--set", "isStreaming=true"});
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildProcess app(LUMENO_BINARY, args, kEnvironment);
        EXPECT_EQ(app.wait(), 2) << c.message;
        EXPECT_NE(app.stderrText().find(c.message), std::string::npos) << app.stderrText();
        EXPECT_FALSE(fs::exists(dir.path() / "settings.json")) << c.message;
    }
}

TEST(ServerCliTest, WithoutADisplayTheWindowIsRefusedWithAHintButPrintAndExitOptionsRun) {
    const std::vector<std::string> noDisplay = {kEnvironment[0], "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
    ChildProcess app(LUMENO_BINARY, {"--port", "0"}, noDisplay);
    EXPECT_EQ(app.wait(), 2);
    EXPECT_EQ(app.stderrText(), "lumeno: no display found; use --headless to run without a window\n");
    // Without a sequencer --list-midi says so and exits 1; none of them asks for a display.
    for (const std::string option : {"--help", "--version", "--list-midi"}) {
        ChildProcess print(LUMENO_BINARY, {option}, noDisplay);
        EXPECT_EQ(print.wait(), option == "--list-midi" && !fs::exists("/dev/snd/seq") ? 1 : 0) << option;
        EXPECT_EQ(print.stderrText().find("no display"), std::string::npos) << print.stderrText();
    }
}

TEST(ServerCliTest, SaveQRWritesTheListenerAddressOrExitsTwoLeavingWhatWasThere) {
    TempDir dir;
    ChildProcess save(LUMENO_BINARY, {"--bind", "127.0.0.1", "--port", "9123", "--save-qr", dir / "code.png"}, kEnvironment);
    ASSERT_EQ(save.wait(), 0) << save.stderrText();
    ChildProcess decode("/usr/bin/zbarimg", {"--raw", "-q", dir / "code.png"});
    ASSERT_EQ(decode.wait(), 0);
    EXPECT_EQ(decode.stdoutLines(), std::vector<std::string>{"http://127.0.0.1:9123/listen"});

    std::ofstream(dir / "kept.png") << "earlier";
    ChildProcess refused(LUMENO_BINARY, {"--bind", "127.0.0.1", "--save-qr", dir / "kept.png/x.png"}, kEnvironment);
    EXPECT_EQ(refused.wait(), 2);
    EXPECT_NE(refused.stderrText().find("could not save the QR code"), std::string::npos) << refused.stderrText();
    EXPECT_EQ(readFile(dir / "kept.png"), "earlier");

    // A network namespace of its own has only loopback; creating one needs root.
    if (ChildProcess("/usr/bin/unshare", {"--net", "true"}).wait() != 0) GTEST_SKIP() << "cannot create a network namespace here";
    ChildProcess isolated("/usr/bin/unshare", {"--net", LUMENO_BINARY, "--save-qr", dir / "isolated.png"}, kEnvironment);
    EXPECT_EQ(isolated.wait(), 2);
    EXPECT_NE(isolated.stderrText().find("No network connection found"), std::string::npos) << isolated.stderrText();
    EXPECT_FALSE(fs::exists(dir.path() / "isolated.png"));
}

TEST(ServerCliTest, ASecondServiceIsRefusedByTheConfigFolderLockOrByTheTakenPort) {
    TempDir config, other;
    ChildProcess first(LUMENO_BINARY, headlessArgs(config), kEnvironment);
    const auto port = readyPort(first);
    ASSERT_NE(port, 0) << first.stderrText();
    ChildProcess second(LUMENO_BINARY, headlessArgs(config), kEnvironment);
    EXPECT_EQ(second.wait(), 2);
    EXPECT_NE(second.stderrText().find("another Lumeno is already running with the config folder " + config.str()),
              std::string::npos) << second.stderrText();
    EXPECT_EQ(ChildProcess(LUMENO_BINARY, {"--help", "--config-dir", config.str()}, kEnvironment).wait(), 0)
        << "commands that only read and exit take no lock";
    ChildProcess taken(LUMENO_BINARY, {"--headless", "--port", std::to_string(port), "--bind", "127.0.0.1", "--config-dir", other.str()},
                       kEnvironment);
    EXPECT_TRUE(taken.waitForPrefix("Failed to create listener: ")) << taken.stderrText();
    EXPECT_EQ(taken.wait(), 1) << "a supervisor must learn that the service cannot listen";
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), 0);
    ChildProcess third(LUMENO_BINARY, headlessArgs(config), kEnvironment);
    EXPECT_NE(readyPort(third), 0) << "the lock ends with its process";
}

TEST(ServerCliTest, RunningOutOfDescriptorsLogsOnceAndServesAgainOnceTheyAreFree) {
    TempDir config;
    // A shell lowers the limit (soft and hard) for the service alone.
    std::vector<std::string> args = {"-c", "ulimit -n 96 && exec \"$0\" \"$@\"", LUMENO_BINARY};
    for (const auto& a : headlessArgs(config)) args.push_back(a);
    ChildProcess app("/bin/sh", args, kEnvironment);
    const auto port = readyPort(app);
    ASSERT_NE(port, 0) << app.stderrText();
    std::vector<lumeno::testing::TestClient> idle;
    for (int i = 0; i < 120; ++i) idle.emplace_back(port, "127.0.0." + std::to_string(1 + i % 8));
    ASSERT_TRUE(app.waitForPrefix("Accept error: ")) << "the limit was never reached";
    std::this_thread::sleep_for(1s);  // long enough for a spinning accept loop to log thousands of lines
    idle.clear();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::string status;
    while (!status.starts_with("HTTP/1.1 200 OK") && std::chrono::steady_clock::now() < deadline)
        status = fetch(port, "GET /status HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(status.starts_with("HTTP/1.1 200 OK")) << status;
    const auto lines = app.stdoutLines();
    EXPECT_LE(std::ranges::count_if(lines, [](const std::string& l) { return l.starts_with("Accept error: "); }), 2);
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait(), 0);
}
