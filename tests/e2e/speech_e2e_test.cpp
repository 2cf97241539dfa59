// Live captions end to end: the real lumeno binary hears a real recording, through a private
// PulseAudio pipe source or as a WAV input, and an event-stream client on /transcription reads
// the captions it sends.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "audio/wav_test_data.h"
#include "support/child_process.h"
#include "support/pulse_daemon.h"
#include "support/speech_recording.h"
#include "support/temp_dir.h"
#include "support/test_client.h"

using namespace std::chrono_literals;
using lumeno::testing::ChildProcess;
using lumeno::testing::TempDir;
using lumeno::testing::TestClient;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kDebianEnglishModel = "/usr/share/pocketsphinx/model/en-us";

// The recording at 48 kHz between pauses: half a second before it, one and a half after it for
// the end of the utterance. Empty when pocketsphinx-testdata is missing.
std::vector<std::int16_t> goForwardAt48k() {
    const std::vector<float> speech = lumeno::testing::goForward(48000.0, 0.5, 1.5);
    std::vector<std::int16_t> pcm(speech.size());
    src_float_to_short_array(speech.data(), pcm.data(), static_cast<int>(pcm.size()));
    return pcm;
}

// The service with streaming and speech on; its input is the recording as a looped WAV file
// unless the environment names a sound server to record from.
std::unique_ptr<ChildProcess> startLumeno(const TempDir& dir, const std::vector<std::string>& extra,
                                          const std::vector<std::string>& environment = {}, bool fromFile = true) {
    std::vector<std::string> args = environment;
    args.insert(args.end(), {LUMENO_BINARY, "--headless", "--port", "0", "--bind", "127.0.0.1", "--config-dir",
                             dir / "config", "--set", "isStreaming=true", "--set", "speechRecognitionEnabled=true",
                             "--transcript-dir", dir / "transcripts"});
    if (fromFile) args.insert(args.end(), {"--input-file", dir / "input.wav"});
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<ChildProcess>("/usr/bin/env", args);
}

std::uint16_t readyPort(ChildProcess& app) {
    if (!app.waitForPrefix("Server ready on port ", 10s)) return 0;
    for (const auto& line : app.stdoutLines())
        if (line.rfind("Server ready on port ", 0) == 0) return static_cast<std::uint16_t>(std::stoi(line.substr(21)));
    return 0;
}

// Reads caption events from an open event stream until `done` holds or `timeout` passes.
std::vector<nlohmann::json> readCaptions(TestClient& client, const std::function<bool(const nlohmann::json&)>& done,
                                         std::chrono::seconds timeout) {
    std::vector<nlohmann::json> events;
    std::string pending;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
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
    auto app = startLumeno(dir_, {"--set", "transcriptionCorrectionsEnabled=true"}, {daemon.serverVariable()},
                           /*fromFile=*/false);
    const auto port = readyPort(*app);
    ASSERT_NE(port, 0) << app->stderrText();
    TestClient client(port);
    client.send("GET /transcription HTTP/1.1\r\n\r\n");
    ASSERT_NE(client.readHead().find("text/event-stream"), std::string::npos);

    const auto events = readCaptions(
        client, [](const nlohmann::json& e) { return e["isFinal"] == true && e["text"] == "Go forward ten meters."; }, 40s);
    ASSERT_FALSE(events.empty()) << "no caption arrived";
    std::optional<std::size_t> firstPartial, unrefined, refined;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto& e = events[i];
        EXPECT_EQ(e["type"], "transcription");
        EXPECT_EQ(e["language"], "en-US");
        const std::string text = e["text"];
        if (e["isFinal"] == false && !firstPartial) firstPartial = i;
        if (e["isFinal"] == true && text == "go forward ten meters" && !unrefined) unrefined = i;
        if (e["isFinal"] == true && text == "Go forward ten meters.") refined = i;
    }
    ASSERT_TRUE(firstPartial);
    ASSERT_TRUE(unrefined) << events.back().dump();
    ASSERT_TRUE(refined);
    EXPECT_LT(*firstPartial, *unrefined);
    EXPECT_EQ(*refined, *unrefined + 1);

    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(15s), 0);
    ChildProcess exporter(LUMENO_BINARY, {"--export-transcript", dir_ / "service.txt", "--transcript-dir", dir_ / "transcripts"});
    ASSERT_EQ(exporter.wait(15s), 0) << exporter.stderrText();
    std::ifstream text(dir_ / "service.txt");
    std::vector<std::string> captions;
    for (std::string line; std::getline(text, line);) captions.push_back(line);
    EXPECT_NE(std::find(captions.begin(), captions.end(), "Go forward ten meters."), captions.end());
    EXPECT_EQ(std::find(captions.begin(), captions.end(), "go forward ten meters"), captions.end());
}

// An operator's extra models folder: French served (for this test) by the English model.
TEST_F(SpeechE2ETest, TheLanguageChoosesItsModelFromTheOperatorsFolder) {
    TempDir models("lumeno-models");
    const fs::path english = kDebianEnglishModel;
    const fs::path french = models.path() / "fr-fr";
    fs::create_directory(french);
    fs::create_directory_symlink(english / "en-us", french / "acoustic");
    fs::create_symlink(english / "en-us.lm.bin", french / "general.lm.bin");
    fs::create_symlink(english / "cmudict-en-us.dict", french / "words.dict");
    auto app = startLumeno(dir_, {"--set", "speechRecognitionLanguage=fr-FR"}, {"LUMENO_MODEL_DIR=" + models.str()});
    const auto port = readyPort(*app);
    ASSERT_NE(port, 0) << app->stderrText();
    TestClient client(port);
    client.send("GET /transcription HTTP/1.1\r\n\r\n");
    client.readHead();
    // The first pass of the looped input may be cut by the start at 1.5 s: wait for a whole one.
    auto heard = [](const nlohmann::json& e) {
        return e["isFinal"] == true && e["text"].get<std::string>().find("forward") != std::string::npos;
    };
    const auto events = readCaptions(client, heard, 30s);
    ASSERT_FALSE(events.empty());
    EXPECT_TRUE(heard(events.back())) << events.back().dump();
    EXPECT_EQ(events.back()["language"], "fr-FR");
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(15s), 0);
}
