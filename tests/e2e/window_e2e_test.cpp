// The real lumeno with its window, on a private X server: it starts, streams when the operator
// presses the stream button, and quits cleanly with its settings saved when the window closes.
#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>
#include <fstream>
#include <thread>

#include "audio/wav_test_data.h"
#include "support/child_process.h"
#include "support/headless_app.h"
#include "support/temp_dir.h"
#include "support/test_client.h"
#include "x_display.h"

using namespace std::chrono_literals;
using lumeno::testing::ChildProcess;
namespace fs = std::filesystem;

namespace {

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 15s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

// Xvfb on a display number it picks itself and prints once it accepts clients, so parallel runs
// never meet.
struct VirtualDisplay {
    VirtualDisplay() {
        if (server.waitForPrefix("", 10s)) name = ":" + server.stdoutLines().front();
    }
    ChildProcess server{"/usr/bin/Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}};
    std::string name;
};

void saveScreenshot(lumeno::testing::XDisplayClient& display, const fs::path& file) {
    int width = 0, height = 0;
    const auto pixels = display.screenshot(width, height);
    if (pixels.empty()) return;
    QImage image(reinterpret_cast<const uchar*>(pixels.data()), width, height, QImage::Format_ARGB32);
    fs::create_directories(file.parent_path());
    image.save(QString::fromStdString(file.string()));
}

// Debian's test recordings (pocketsphinx-testdata), 16 kHz mono, each after a second of silence.
// False when they are missing.
bool writeSpeech(const fs::path& file) {
    std::string samples;
    for (const char* name : {"goforward.raw", "something.raw"}) {
        std::ifstream in(std::string("/usr/share/pocketsphinx/test/data/") + name, std::ios::binary);
        if (!in) return false;
        samples += std::string(32000, '\0') + std::string(std::istreambuf_iterator<char>(in), {});
    }
    samples += std::string(64000, '\0');
    std::ofstream(file, std::ios::binary) << lumeno::testing::makeWav({.rate = 16000, .samples = samples});
    return true;
}

std::string status(std::uint16_t port) {
    return lumeno::testing::fetch(port, "GET /status HTTP/1.1\r\nHost: x\r\n\r\n");
}

class WindowE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(x_.name.empty()) << "Xvfb did not start: " << x_.server.stderrText();
        ASSERT_TRUE(display_.connected());
    }
    // The real binary on the private display, with no sound server or session bus to find.
    std::unique_ptr<ChildProcess> start(std::vector<std::string> args) {
        args.insert(args.end(), {"--bind", "127.0.0.1", "--config-dir", dir_ / "config"});
        const std::vector<std::string> environment = {"DISPLAY=" + x_.name, "QT_QPA_PLATFORM=xcb",
                                                      "PULSE_SERVER=unix:/nonexistent/lumeno-test",
                                                      "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/lumeno-test"};
        return std::make_unique<ChildProcess>(LUMENO_BINARY, args, environment);
    }

    VirtualDisplay x_;
    lumeno::testing::XDisplayClient display_{x_.name};
    lumeno::testing::TempDir dir_;
};

}  // namespace

TEST_F(WindowE2ETest, StreamsFromTheWindowAndQuitsWithSettingsSavedWhenItCloses) {
    ASSERT_TRUE(writeSpeech(dir_.path() / "speech.wav")) << "pocketsphinx-testdata is missing";
    auto app = start({"--input-file", dir_ / "speech.wav", "--port", "0"});
    ASSERT_TRUE(app->waitForLine("🎉 === APP DELEGATE COMPLETE ===", 20s)) << app->stderrText();
    const auto port = lumeno::testing::readyPort(*app);
    EXPECT_NE(status(port).find(R"({"status":"waiting"})"), std::string::npos);

    unsigned long window = 0;
    ASSERT_TRUE(eventually([&] { return (window = display_.findWindow("Lumeno")) != 0; }));
    // The stream button has the keyboard focus when the window opens, as a booth operator expects.
    ChildProcess press("/usr/bin/xdotool", {"key", "--clearmodifiers", "space"}, {"DISPLAY=" + x_.name});
    ASSERT_EQ(press.wait(), 0) << press.stderrText();
    ASSERT_TRUE(eventually([&] { return status(port).find(R"({"status":"streaming"})") != std::string::npos; }))
        << status(port);

    std::this_thread::sleep_for(500ms);  // a few meter updates before the picture
    saveScreenshot(display_, fs::path(LUMENO_ARTIFACTS) / "operator-window.png");

    display_.requestClose(window);
    ASSERT_EQ(app->wait(15s), 0) << app->stderrText();
    std::ifstream settings(dir_.path() / "config" / "settings.json");
    const std::string saved(std::istreambuf_iterator<char>(settings), {});
    EXPECT_NE(saved.find(R"("isStreaming": true)"), std::string::npos) << saved;
}

// The transcript panel restored open, with captions of the real recogniser: each refined final
// takes the place of its first version (the picture shows it).
TEST_F(WindowE2ETest, TranscriptPanelShowsCaptionsOnce) {
    ASSERT_TRUE(writeSpeech(dir_.path() / "speech.wav")) << "pocketsphinx-testdata is missing";
    auto app = start({"--input-file", dir_ / "speech.wav", "--port", "0",
                      "--transcript-dir", dir_ / "transcripts", "--set", "isStreaming=true", "--set",
                      "speechRecognitionEnabled=true", "--set", "transcriptPanelShown=true"});
    ASSERT_TRUE(app->waitForLine("✅ Transcript panel slide-in animation complete", 20s)) << app->stderrText();
    ASSERT_TRUE(app->waitForLine("📝 Replaced final transcription with its refined text", 60s));
    std::this_thread::sleep_for(500ms);  // the redraw reaches the screen before the picture
    saveScreenshot(display_, fs::path(LUMENO_ARTIFACTS) / "transcript-panel.png");
}
