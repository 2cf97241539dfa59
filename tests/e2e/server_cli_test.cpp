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
using namespace lumeno::testing;
namespace fs = std::filesystem;

namespace {

// No capture device exists in these tests; a dead PulseAudio address makes that explicit and fast.
const std::vector<std::string> kEnvironment = {"PULSE_SERVER=unix:/nonexistent/lumeno-test"};

std::vector<std::string> headlessArgs(const TempDir& config, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--headless", "--port", "0", "--bind", "127.0.0.1", "--config-dir", config.str()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

}  // namespace

// Stopped at whatever point of startup it has reached, it ends too (a service manager waits for it).
TEST(ServerCliTest, ServesAndOnEveryStopSignalExitsCleanlyWithTheSettingsOfItsCommandLineSaved) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        TempDir config, other;
        ChildProcess app(LUMENO_BINARY, headlessArgs(config, {"--set", "customTitle=Chapel", "--set", "autoGainEnabled=true"}),
                         kEnvironment);
        ChildProcess starting(LUMENO_BINARY, headlessArgs(other), kEnvironment);
        starting.signal(signal);
        const auto status = starting.wait(10s);
        EXPECT_TRUE(status && (*status == 0 || *status == 128 + signal)) << "signal " << signal << " during startup";
        const auto port = readyPort(app);
        ASSERT_NE(port, 0) << app.stderrText();
        EXPECT_EQ(fetch(port, "GET /status HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
        app.signal(signal);
        EXPECT_EQ(app.wait(), 0) << "signal " << signal;
        std::ifstream in(config.path() / "settings.json");
        const std::string settings{std::istreambuf_iterator<char>(in), {}};
        EXPECT_NE(settings.find("\"customTitle\": \"Chapel\""), std::string::npos) << settings;
        EXPECT_NE(settings.find("\"autoGainEnabled\": true"), std::string::npos) << settings;
    }
}

// Whatever it was told, a service that cannot run says why and exits 2 before writing anything:
// a stored streaming switch is not saved alongside a value it refuses.
TEST(ServerCliTest, BadCommandLinesAndUnusableInputsExitWithStatusTwoAndWriteNothing) {
    TempDir dir;
    std::ofstream(dir / "notes.wav") << "these are notes, not audio";
    ASSERT_EQ(::mkfifo((dir / "input.fifo").c_str(), 0600), 0);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--set", "autoGainEnabled=maybe"}, "autoGainEnabled takes true or false"},
        {{"--input-file", dir / "notes.wav"}, "is not a WAV file"},
        // Opening a FIFO would wait for a writer with the stop signals held back.
        {{"--input-file", dir / "input.fifo"}, "is not a regular file"},
    };
    for (const auto& [extra, message] : cases) {
        auto args = headlessArgs(dir, {"--set", "isStreaming=true"});
        args.insert(args.end(), extra.begin(), extra.end());
        ChildProcess app(LUMENO_BINARY, args, kEnvironment);
        EXPECT_EQ(app.wait(), 2) << message;
        EXPECT_NE(app.stderrText().find(message), std::string::npos) << app.stderrText();
        EXPECT_FALSE(fs::exists(dir.path() / "settings.json")) << message;
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
    }
}

TEST(ServerCliTest, SaveQRWritesTheListenerAddressOrExitsTwo) {
    TempDir dir;
    ChildProcess save(LUMENO_BINARY, {"--bind", "127.0.0.1", "--port", "9123", "--save-qr", dir / "code.png"}, kEnvironment);
    ASSERT_EQ(save.wait(), 0) << save.stderrText();
    ChildProcess decode("/usr/bin/zbarimg", {"--raw", "-q", dir / "code.png"});
    ASSERT_EQ(decode.wait(), 0);
    EXPECT_EQ(decode.stdoutLines(), std::vector<std::string>{"http://127.0.0.1:9123/listen"});

    std::ofstream(dir / "a-file") << "x";  // in the way of the folder the code would go into
    ChildProcess refused(LUMENO_BINARY, {"--bind", "127.0.0.1", "--save-qr", dir / "a-file/x.png"}, kEnvironment);
    EXPECT_EQ(refused.wait(), 2);
    EXPECT_NE(refused.stderrText().find("could not save the QR code"), std::string::npos) << refused.stderrText();
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
    auto args = headlessArgs(config);
    args.insert(args.begin(), {"-c", "ulimit -n 96 && exec \"$0\" \"$@\"", LUMENO_BINARY});
    ChildProcess app("/bin/sh", args, kEnvironment);
    const auto port = readyPort(app);
    ASSERT_NE(port, 0) << app.stderrText();
    std::vector<TestClient> idle;
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
