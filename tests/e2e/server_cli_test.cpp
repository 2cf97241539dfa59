// The real lumeno binary as an operator runs it: options, the listener server, clean shutdown.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/test_client.h"

using namespace std::chrono_literals;
using lumeno::testing::ChildProcess;
namespace fs = std::filesystem;

namespace {

using lumeno::testing::TempDir;

// No capture device exists in these tests; a dead PulseAudio address makes that explicit and fast.
const std::vector<std::string> kEnvironment = {"PULSE_SERVER=unix:/nonexistent/lumeno-test"};

std::vector<std::string> headlessArgs(std::uint16_t port, const TempDir& config) {
    return {"--headless", "--port", std::to_string(port), "--config-dir", config.str()};
}

}  // namespace

TEST(ServerCliTest, ServesStatusAndExitsCleanlyOnSigterm) {
    TempDir config;
    const auto port = lumeno::testing::freePort();
    ChildProcess app(LUMENO_BINARY, headlessArgs(port, config), kEnvironment);
    ASSERT_TRUE(app.waitForLine("Server ready on port " + std::to_string(port))) << app.stderrText();
    EXPECT_EQ(lumeno::testing::fetch(port, "GET /status HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(lumeno::testing::fetch(port, "GET / HTTP/1.1\r\n\r\n").find("404 Not Found"), std::string::npos);
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait(), 0);
    // No MIDI sequencer here: one line says so and nothing else suffers.
    const auto lines = app.stdoutLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("Failed to create MIDI client: ", 0) == 0; }),
              std::filesystem::exists("/dev/snd/seq") ? 0 : 1);
}

TEST(ServerCliTest, SettingsGivenOnTheCommandLineAreSavedInTheConfigFolder) {
    TempDir config;
    const auto port = lumeno::testing::freePort();
    auto args = headlessArgs(port, config);
    args.insert(args.end(), {"--set", "customTitle=Chapel", "--set", "autoGainEnabled=true"});
    ChildProcess app(LUMENO_BINARY, args, kEnvironment);
    ASSERT_TRUE(app.waitForLine("Server ready on port " + std::to_string(port))) << app.stderrText();
    app.signal(SIGINT);
    EXPECT_EQ(app.wait(), 0);
    std::ifstream in(config.path() / "settings.json");
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(text.find("\"customTitle\": \"Chapel\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"autoGainEnabled\": true"), std::string::npos) << text;
}

TEST(ServerCliTest, TakenPortIsLoggedAndAHeadlessServiceExitsWithStatusOne) {
    TempDir config;
    const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    socklen_t length = sizeof addr;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&addr), &length);
    const auto port = ntohs(addr.sin_port);

    ChildProcess app(LUMENO_BINARY, headlessArgs(port, config), kEnvironment);
    EXPECT_TRUE(app.waitForPrefix("Failed to create listener: ")) << app.stderrText();
    EXPECT_EQ(app.wait(), 1) << "a supervisor must learn that the service cannot listen";
    ::close(blocker);
}

TEST(ServerCliTest, BadCommandLinesExitWithStatusTwoAndSayWhy) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--port"}, "--port needs"},
        {{"--port", "70000"}, "--port needs a number from 0 to 65535"},
        {{"--port", "80x"}, "--port needs a number"},
        {{"--set", "noequals"}, "--set needs KEY=VALUE"},
        {{"--set", "isStreaming=maybe", "--config-dir", "/tmp/lumeno-never-created"}, "isStreaming takes true or false"},
        {{"--set", "noSuchKey=1", "--config-dir", "/tmp/lumeno-never-created"}, "unknown setting 'noSuchKey'"},
    };
    for (const auto& c : cases) {
        ChildProcess app(LUMENO_BINARY, c.args, kEnvironment);
        EXPECT_EQ(app.wait(), 2) << c.message;
        EXPECT_NE(app.stderrText().find(c.message), std::string::npos) << app.stderrText();
    }
}

TEST(ServerCliTest, HelpAndVersionPrintAndExit) {
    ChildProcess help(LUMENO_BINARY, {"--help"}, kEnvironment);
    EXPECT_EQ(help.wait(), 0);
    ChildProcess version(LUMENO_BINARY, {"--version"}, kEnvironment);
    EXPECT_EQ(version.wait(), 0);
    const auto helpLines = help.stdoutLines();
    ASSERT_FALSE(helpLines.empty());
    EXPECT_EQ(helpLines[0], "Usage: lumeno [options]");
    ASSERT_EQ(version.stdoutLines().size(), 1u);
    EXPECT_EQ(version.stdoutLines()[0].rfind("lumeno ", 0), 0u);
}

TEST(ServerCliTest, WithoutADisplayTheWindowIsRefusedWithAHintButPrintAndExitOptionsRun) {
    const std::vector<std::string> noDisplay = {"PULSE_SERVER=unix:/nonexistent/lumeno-test", "DISPLAY=",
                                                "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
    ChildProcess app(LUMENO_BINARY, {"--port", "0"}, noDisplay);
    EXPECT_EQ(app.wait(), 2);
    EXPECT_EQ(app.stderrText(), "lumeno: no display found; use --headless to run without a window\n");
    // Without a sequencer it says so and exits 1; either way it never asks for a display.
    ChildProcess midi(LUMENO_BINARY, {"--list-midi"}, noDisplay);
    EXPECT_NE(midi.wait(), 2);
    EXPECT_EQ(midi.stderrText().find("no display"), std::string::npos) << midi.stderrText();
}

TEST(ServerCliTest, SaveQRWritesTheListenerAddressOrExitsTwo) {
    TempDir dir;
    const auto file = dir / "code.png";
    ChildProcess save(LUMENO_BINARY, {"--bind", "127.0.0.1", "--port", "9123", "--save-qr", file}, kEnvironment);
    ASSERT_EQ(save.wait(), 0) << save.stderrText();
    ChildProcess decode("/usr/bin/zbarimg", {"--raw", "-q", file});
    ASSERT_EQ(decode.wait(), 0);
    EXPECT_EQ(decode.stdoutLines(), std::vector<std::string>{"http://127.0.0.1:9123/listen"});

    std::ofstream(dir / "kept.png") << "earlier";
    ChildProcess refused(LUMENO_BINARY, {"--bind", "127.0.0.1", "--save-qr", dir / "kept.png/x.png"}, kEnvironment);
    EXPECT_EQ(refused.wait(), 2);
    EXPECT_NE(refused.stderrText().find("could not save the QR code"), std::string::npos) << refused.stderrText();
    std::ifstream kept(dir / "kept.png");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "earlier");
}

TEST(ServerCliTest, SaveQRIsRefusedWhenNoNetworkAddressExists) {
    // A network namespace of its own has only loopback; creating one needs root.
    ChildProcess probe("/usr/bin/unshare", {"--net", "true"});
    if (probe.wait() != 0) GTEST_SKIP() << "cannot create a network namespace here";
    TempDir dir;
    ChildProcess save("/usr/bin/unshare", {"--net", LUMENO_BINARY, "--save-qr", dir / "code.png"}, kEnvironment);
    EXPECT_EQ(save.wait(), 2);
    EXPECT_NE(save.stderrText().find("No network connection found"), std::string::npos) << save.stderrText();
    EXPECT_FALSE(fs::exists(dir / "code.png"));
}

TEST(ServerCliTest, SighupStopsCleanlyAndSavesLikeSigterm) {
    TempDir config;
    const auto port = lumeno::testing::freePort();
    auto args = headlessArgs(port, config);
    args.insert(args.end(), {"--set", "customTitle=Vestry"});
    ChildProcess app(LUMENO_BINARY, args, kEnvironment);
    ASSERT_TRUE(app.waitForLine("Server ready on port " + std::to_string(port))) << app.stderrText();
    app.signal(SIGHUP);
    EXPECT_EQ(app.wait(), 0);
    std::ifstream in(config.path() / "settings.json");
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(text.find("\"customTitle\": \"Vestry\""), std::string::npos) << text;
}

TEST(ServerCliTest, AStopSignalDuringStartupEndsTheProcess) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        TempDir config;
        ChildProcess app(LUMENO_BINARY, headlessArgs(lumeno::testing::freePort(), config), kEnvironment);
        app.signal(signal);  // at whatever point of startup it has reached
        const auto status = app.wait(10s);
        ASSERT_TRUE(status) << "signal " << signal << " was not acted on";
        EXPECT_TRUE(*status == 0 || *status == 128 + signal) << *status;
    }
}

TEST(ServerCliTest, ASecondInstanceOnTheSameConfigFolderRefusesToStart) {
    TempDir config;
    const auto port = lumeno::testing::freePort();
    ChildProcess first(LUMENO_BINARY, headlessArgs(port, config), kEnvironment);
    ASSERT_TRUE(first.waitForLine("Server ready on port " + std::to_string(port))) << first.stderrText();
    ChildProcess second(LUMENO_BINARY, headlessArgs(lumeno::testing::freePort(), config), kEnvironment);
    EXPECT_EQ(second.wait(), 2);
    EXPECT_NE(second.stderrText().find("another Lumeno is already running with the config folder " + config.str()),
              std::string::npos)
        << second.stderrText();
    // Commands that only read and exit take no lock.
    ChildProcess help(LUMENO_BINARY, {"--help", "--config-dir", config.str()}, kEnvironment);
    EXPECT_EQ(help.wait(), 0);
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), 0);
    ChildProcess third(LUMENO_BINARY, headlessArgs(port, config), kEnvironment);
    EXPECT_TRUE(third.waitForLine("Server ready on port " + std::to_string(port))) << "the lock ends with its process";
    third.signal(SIGTERM);
    EXPECT_EQ(third.wait(), 0);
}

TEST(ServerCliTest, RunningOutOfDescriptorsLogsOnceAndServesAgainOnceTheyAreFree) {
    TempDir config;
    const auto port = lumeno::testing::freePort();
    // A shell lowers the limit (soft and hard) for the service alone.
    std::vector<std::string> args = {"-c", "ulimit -n 96 && exec \"$0\" \"$@\"", LUMENO_BINARY};
    for (const auto& a : headlessArgs(port, config)) args.push_back(a);
    ChildProcess app("/bin/sh", args, kEnvironment);
    ASSERT_TRUE(app.waitForLine("Server ready on port " + std::to_string(port))) << app.stderrText();
    std::vector<lumeno::testing::TestClient> idle;
    for (int i = 0; i < 120; ++i) idle.emplace_back(port, "127.0.0." + std::to_string(1 + i % 8));
    ASSERT_TRUE(app.waitForPrefix("Accept error: ")) << "the limit was never reached";
    std::this_thread::sleep_for(1s);  // long enough for a spinning accept loop to log thousands of lines
    idle.clear();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::string status;
    while (status.rfind("HTTP/1.1 200 OK", 0) != 0 && std::chrono::steady_clock::now() < deadline)
        status = lumeno::testing::fetch(port, "GET /status HTTP/1.1\r\n\r\n");
    EXPECT_EQ(status.rfind("HTTP/1.1 200 OK", 0), 0u) << status;
    const auto lines = app.stdoutLines();
    EXPECT_LE(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Accept error: ", 0) == 0; }),
              2);
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait(), 0);
}
