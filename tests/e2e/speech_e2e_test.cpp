// Live captions end to end: the real lumeno binary hears a real recording (from a private
// PulseAudio or a WAV file) and an event-stream client on /transcription reads its captions.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>
#include <nlohmann/json.hpp>

#include "audio/wav_test_data.h"
#include "support/child_process.h"
#include "support/headless_app.h"
#include "support/pulse_daemon.h"
#include "support/speech_recording.h"
#include "support/temp_dir.h"
#include "support/test_client.h"

using namespace std::chrono_literals;
using lumeno::testing::ChildProcess;
using lumeno::testing::readyPort;
using lumeno::testing::TempDir;
using lumeno::testing::TestClient;
namespace fs = std::filesystem;

namespace {

// The recording at 48 kHz, with 1.5 s of pause to end the utterance; empty without pocketsphinx-testdata.
std::vector<std::int16_t> goForwardAt48k() {
    const std::vector<float> speech = lumeno::testing::goForward(48000.0, 0.5, 1.5);
    std::vector<std::int16_t> pcm(speech.size());
    src_float_to_short_array(speech.data(), pcm.data(), static_cast<int>(pcm.size()));
    return pcm;
}

// The service with streaming and speech on, with `extra` arguments and an `environment`.
std::unique_ptr<ChildProcess> startLumeno(const TempDir& dir, const std::vector<std::string>& extra,
                                          const std::vector<std::string>& environment) {
    std::vector<std::string> args = environment;
    args.insert(args.end(), {LUMENO_BINARY, "--headless", "--port", "0", "--bind", "127.0.0.1", "--config-dir",
                             dir / "config", "--set", "isStreaming=true", "--set", "speechRecognitionEnabled=true",
                             "--transcript-dir", dir / "transcripts"});
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<ChildProcess>("/usr/bin/env", args);
}

// Reads caption events from the service's event stream until `done` holds or `timeout` passes.
std::vector<nlohmann::json> readCaptions(ChildProcess& app, const std::function<bool(const nlohmann::json&)>& done,
                                         std::chrono::seconds timeout) {
    std::vector<nlohmann::json> events;
    const auto port = readyPort(app);
    if (port == 0) return events;
    TestClient client(port);
    client.send("GET /transcription HTTP/1.1\r\n\r\n");
    if (client.readHead().find("text/event-stream") == std::string::npos) return events;
    std::string pending;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string byte = client.readExactly(1, 200ms);
        if (byte.empty()) continue;
        pending += byte;
        const auto end = pending.find("\n\n");
        if (end == std::string::npos) continue;
        const std::string event = pending.substr(0, end);
        pending.erase(0, end + 2);
        if (event.rfind("data: ", 0) != 0) continue;
        events.push_back(nlohmann::json::parse(event.substr(6)));
        if (done(events.back())) break;
    }
    return events;
}

class SpeechE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(speech_.empty()) << "pocketsphinx-testdata is missing";
        lumeno::testing::WavSpec spec;
        spec.rate = 48000;
        spec.samples = lumeno::testing::pcm16(speech_);
        std::ofstream(dir_ / "input.wav", std::ios::binary) << lumeno::testing::makeWav(spec);
    }

    TempDir dir_{"lumeno-speech"};
    const std::vector<std::int16_t> speech_ = goForwardAt48k();
};

}  // namespace

// Captions reach listeners as partials, then the final as heard and refined; after the service
// the transcript folder holds the refined final (once) and the export writes it out.
TEST_F(SpeechE2ETest, HeadlessServiceCaptionsASoundServerInputAndKeepsTheRefinedFinals) {
    // Fed through a private PulseAudio pipe source, looped, so a whole utterance follows the
    // recogniser's start 1.5 s after launch.
    lumeno::testing::PulseDaemon daemon(dir_, {{"pulpit", "Pulpit-Mic", 48000, 1}});
    ASSERT_TRUE(daemon.ready()) << daemon.log();
    lumeno::testing::FifoFeeder feeder(daemon.fifo("pulpit"), 48000, 1,
                                       [this](std::uint64_t i) { return speech_[i % speech_.size()]; });
    auto app = startLumeno(dir_, {"--set", "transcriptionCorrectionsEnabled=true"}, {daemon.serverVariable()});
    const auto events = readCaptions(
        *app, [](const nlohmann::json& e) { return e["isFinal"] == true && e["text"] == "Go forward ten meters."; }, 40s);
    ASSERT_GE(events.size(), 3u) << app->stderrText();
    bool partial = false;
    for (const auto& e : events) {
        EXPECT_EQ(e["language"], "en-US");
        partial = partial || e["isFinal"] == false;
    }
    EXPECT_TRUE(partial);
    // The refined final comes right after the final as heard.
    const auto& heard = events[events.size() - 2];
    EXPECT_EQ(heard["isFinal"], true);
    EXPECT_EQ(heard["text"], "go forward ten meters") << events.back().dump();

    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(15s), 0);
    ChildProcess exporter(LUMENO_BINARY, {"--export-transcript", dir_ / "service.txt", "--transcript-dir", dir_ / "transcripts"});
    ASSERT_EQ(exporter.wait(15s), 0) << exporter.stderrText();
    std::ostringstream text;
    text << std::ifstream(dir_ / "service.txt").rdbuf();
    EXPECT_NE(text.str().find("Go forward ten meters.\n"), std::string::npos) << text.str();
    EXPECT_EQ(text.str().find("go forward ten meters"), std::string::npos);
}

// An operator's extra models folder: French served (for this test) by the English model.
TEST_F(SpeechE2ETest, TheLanguageChoosesItsModelFromTheOperatorsFolder) {
    TempDir models("lumeno-models");
    const fs::path english = "/usr/share/pocketsphinx/model/en-us";
    const fs::path french = models.path() / "fr-fr";
    fs::create_directory(french);
    fs::create_directory_symlink(english / "en-us", french / "acoustic");
    fs::create_symlink(english / "en-us.lm.bin", french / "general.lm.bin");
    fs::create_symlink(english / "cmudict-en-us.dict", french / "words.dict");
    auto app = startLumeno(dir_, {"--set", "speechRecognitionLanguage=fr-FR", "--input-file", dir_ / "input.wav"},
                           {"LUMENO_MODEL_DIR=" + models.str()});
    // The first pass of the looped input may be cut by the start at 1.5 s: wait for a whole one.
    auto heard = [](const nlohmann::json& e) {
        return e["isFinal"] == true && e["text"].get<std::string>().find("forward") != std::string::npos;
    };
    const auto events = readCaptions(*app, heard, 30s);
    ASSERT_FALSE(events.empty()) << app->stderrText();
    EXPECT_TRUE(heard(events.back())) << events.back().dump();
    EXPECT_EQ(events.back()["language"], "fr-FR");
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(15s), 0);
}
