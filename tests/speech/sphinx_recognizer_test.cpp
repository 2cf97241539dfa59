#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <thread>

#include "audio/wav_file.h"
#include "fakes/capture_logger.h"
#include "platform/sphinx/audio_handoff.h"
#include "platform/sphinx/sphinx_models.h"
#include "platform/sphinx/sphinx_recognizer.h"
#include "platform/sphinx/sphinx_stream.h"
#include "support/speech_recording.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using namespace lumeno;
using platform::AudioHandoff;
using platform::SphinxStream;
using speech::RecognitionResult;
namespace fs = std::filesystem;

namespace {

const fs::path kSpeechData = LUMENO_SPEECH_DATA_DIR;

struct Results {
    std::vector<RecognitionResult> results;
    std::vector<std::string> errors;

    speech::ResultHandler handler() {
        return [this](std::optional<RecognitionResult> r, std::optional<std::string> e) {
            if (r) results.push_back(*r);
            if (e) errors.push_back(*e);
        };
    }
    std::vector<std::string> texts(bool isFinal) const {
        std::vector<std::string> out;
        for (const auto& r : results)
            if (r.isFinal == isFinal) out.push_back(r.text);
        return out;
    }
    std::vector<std::string> finals() const { return texts(true); }
};

// Feeds `samples` to `feed` in capture-sized buffers of one channel.
template <typename Feed>
void inBuffers(const std::vector<float>& samples, double rate, Feed feed) {
    constexpr std::size_t frames = 4096;
    for (std::size_t offset = 0; offset < samples.size(); offset += frames) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(frames, samples.size() - offset));
        const float* channels[] = {samples.data() + offset};
        feed(audio::AudioBuffer{channels, 1, n, n, rate});
    }
}

std::string words(int n) {
    std::string text;
    for (int i = 1; i <= n; ++i) text += (i > 1 ? " w" : "w") + std::to_string(i);
    return text;
}

// A decoder that follows a script: whether each call's audio is speech, and the hypothesis as
// the number of speech calls so far ("w1 w2 ..."); calls listed in failOn fail; each call takes
// `delay`. It keeps the count and the loudest of the samples it was given.
class ScriptedDecoder final : public platform::SphinxDecoder {
public:
    bool startUtterance() override {
        words_ = 0;
        return true;
    }
    bool process(const std::int16_t* pcm, std::size_t count) override {
        samples += count;
        for (std::size_t i = 0; i < count; ++i) peak = std::max(peak, std::abs(static_cast<int>(pcm[i])));
        std::this_thread::sleep_for(delay);
        const std::size_t call = calls++;
        if (failOn.count(call)) return false;
        speech_ = call < speech.size() && speech[call];
        words_ += speech_ ? 1 : 0;
        return true;
    }
    bool inSpeech() override { return speech_; }
    bool endUtterance() override { return true; }
    std::string hypothesis() override { return words(words_); }
    bool knowsWord(const std::string&) override { return true; }
    std::string setVocabulary(const std::vector<platform::PronouncedEntry>&) override { return {}; }

    std::vector<bool> speech;
    std::set<std::size_t> failOn;
    std::chrono::milliseconds delay{0};
    std::size_t calls = 0, samples = 0;
    int peak = 0;

private:
    bool speech_ = false;
    int words_ = 0;
};

std::vector<bool> script(std::initializer_list<std::pair<int, bool>> runs) {
    std::vector<bool> out;
    for (const auto& [count, speech] : runs) out.insert(out.end(), static_cast<std::size_t>(count), speech);
    return out;
}

}  // namespace

// Stereo blocks pushed faster than they are popped: each block arrives whole, mixed to mono (the
// mean of its channels), in order, the newest always kept and every frame popped or counted.
TEST(AudioHandoffTest, ConcurrentConsumerGetsWholeMonoBlocksInOrder) {
    constexpr std::uint32_t kFrames = AudioHandoff::kBlockFrames;
    AudioHandoff handoff(4);
    constexpr int kBlocks = 20000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 1; i <= kBlocks; ++i) {
            const auto value = static_cast<float>(i);
            const std::vector<float> left(kFrames, value - 1.0f), right(kFrames, value + 1.0f);
            const float* channels[] = {left.data(), right.data()};
            handoff.push({channels, 2, kFrames, kFrames, 48000.0});
        }
        done = true;
    });
    AudioHandoff::Block block;
    float last = 0.0f;
    std::uint64_t popped = 0;
    bool torn = false;
    for (bool finished = false; !finished;) {
        finished = done.load();
        while (handoff.pop(block)) {
            for (std::uint32_t f = 1; f < block.frames; ++f) torn = torn || block.samples[f] != block.samples[0];
            EXPECT_GT(block.samples[0], last);
            last = block.samples[0];
            popped += block.frames;
        }
    }
    producer.join();
    EXPECT_FALSE(torn);
    EXPECT_EQ(last, static_cast<float>(kBlocks));
    EXPECT_EQ(popped + handoff.takeDroppedFrames(), std::uint64_t{kBlocks} * kFrames);
}

// 16 kHz blocks of 0.1 s through a scripted decoder, then the end of input.
TEST(SphinxStreamTest, CaptionsFollowTheDecodersVoiceDetection) {
    struct Case {
        const char* name;
        std::vector<bool> speech;
        std::set<std::size_t> failOn;
        std::vector<std::string> partials, finals, errors;
    };
    const std::vector<Case> cases = {
        // Every 0.4 s of speech, so never more than half a second apart; the final when it ends.
        {"speech", script({{3, false}, {15, true}, {5, false}}), {},
         {words(4), words(8), words(12)}, {words(15)}, {}},
        // One error for a run of failures; the failed utterance is dropped, the next one decodes.
        {"failure", {true, true, false, false, false, true, true, false}, {1, 2, 3},
         {}, {"w1 w2"}, {"the decoder failed on the audio"}},
    };
    for (const auto& c : cases) {
        ScriptedDecoder decoder;
        decoder.speech = c.speech;
        decoder.failOn = c.failOn;
        SphinxStream stream(decoder, {});
        Results out;
        const std::vector<float> block(1600, 0.1f);
        for (std::size_t i = 0; i < c.speech.size(); ++i) stream.feed(block.data(), block.size(), 16000.0, out.handler());
        stream.finish(out.handler());
        EXPECT_EQ(out.texts(false), c.partials) << c.name;
        EXPECT_EQ(out.finals(), c.finals) << c.name;
        EXPECT_EQ(out.errors, c.errors) << c.name;
        EXPECT_EQ(decoder.calls, c.speech.size()) << c.name;
    }
}

// A sample that is not finite would reach the decoder as full-scale noise: it is heard as silence.
TEST(SphinxStreamTest, ResamplesToSixteenKilohertzSilencesNonFiniteSamplesAndCapsAnEndlessUtterance) {
    ScriptedDecoder decoder;
    decoder.speech.assign(100, true);
    SphinxStream::Options options;
    options.reportPartialResults = false;
    options.maxUtteranceSeconds = 2.0;
    SphinxStream stream(decoder, options);
    Results out;
    std::vector<float> second(48000, 0.2f);
    second[100] = std::nanf("");
    second[200] = INFINITY;
    for (int i = 0; i < 5; ++i) stream.feed(second.data(), second.size(), 48000.0, out.handler());
    EXPECT_NEAR(static_cast<double>(decoder.samples), 5 * 16000.0, 200.0);
    EXPECT_LT(decoder.peak, 10000);  // 0.2 of full scale, and the resampler's ripple
    EXPECT_EQ(out.finals().size(), 2u);  // at 2 s and 4 s of unbroken speech
    EXPECT_EQ(out.results.size(), 2u);   // and no partials
}

class SphinxPlatformTest : public ::testing::Test {
protected:
    // Waits (bounded) until `done` holds over the results gathered so far.
    bool waitFor(const std::function<bool(const Results&)>& done, std::chrono::milliseconds timeout = 20s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(results_); });
    }
    speech::ResultHandler handler() {
        return [this](std::optional<RecognitionResult> r, std::optional<std::string> e) {
            std::lock_guard lock(mutex_);
            results_.handler()(r, e);
            changed_.notify_all();
        };
    }
    Results snapshot() {
        std::lock_guard lock(mutex_);
        return results_;
    }
    // A platform whose decoder is made by `make`.
    static platform::SphinxSpeechPlatform::Options scripted(std::function<std::unique_ptr<ScriptedDecoder>()> make) {
        platform::SphinxSpeechPlatform::Options options{platform::modelRoots(nullptr)};
        options.loadDecoder = [make](const platform::ModelFiles&) {
            auto decoder = make();
            return platform::DecoderLoad{std::move(decoder), decoder ? "" : "disk on fire"};
        };
        return options;
    }

    lumeno::testing::CaptureLogger log_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Results results_;
};

// A decoder that takes 50 ms per call against a hand-over of a quarter second: the tap never
// waits, the oldest audio goes and the operator is told; the captions decoded still arrive, and
// none once the task is cancelled, though audio is still queued.
TEST_F(SphinxPlatformTest, ASlowDecoderNeverHoldsUpTheTapAndNothingArrivesOnceCancelled) {
    auto options = scripted([] {
        auto slow = std::make_unique<ScriptedDecoder>();
        slow->speech = script({{4, true}, {1, false}, {100, true}});
        slow->delay = 50ms;
        return slow;
    });
    options.handoffSeconds = 0.25;
    platform::SphinxSpeechPlatform sphinx(log_, options);
    for (const char* locale : {"ja-JP", "../model/en-US"}) EXPECT_FALSE(sphinx.makeRecognizer(locale, {})) << "no model";
    auto recognizer = sphinx.makeRecognizer("en-US", {});
    ASSERT_TRUE(recognizer);
    auto request = recognizer->makeRequest({});
    auto task = recognizer->startTask(request, handler());
    const std::vector<float> second(48000, 0.1f);
    const auto started = std::chrono::steady_clock::now();
    inBuffers(second, 48000.0, [&](const audio::AudioBuffer& b) { request->append(b); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, 100ms);
    ASSERT_TRUE(waitFor([](const Results& r) { return !r.finals().empty(); }));
    EXPECT_EQ(snapshot().finals(), std::vector<std::string>{words(4)});
    EXPECT_TRUE(log_.waitForPrefix("🎤 Speech recognition fell behind: dropped the oldest ", 5s));

    task->cancel();
    const auto count = snapshot().results.size();
    inBuffers(second, 48000.0, [&](const audio::AudioBuffer& b) { request->append(b); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(snapshot().results.size(), count);
}

// A church model that is broken at start: the general model, one log line and the status say
// so, and captions go on. A name added to the vocabulary while the task runs is recognised from
// the next utterance on, without a restart.
TEST_F(SphinxPlatformTest, ANameAddedWhileRunningIsRecognisedAtTheNextUtteranceOnTheGeneralModelWhenTheChurchOneIsBroken) {
    std::vector<float> clip;
    if (auto opened = audio::WavFile::open(LUMENO_VOCABULARY_CLIP); opened.file) {
        const auto frames = static_cast<std::uint32_t>(opened.file->frameCount());
        const double rate = opened.file->format().sampleRate;
        audio::FloatBuffer buffer(1, frames, rate);
        std::string error;
        if (opened.file->readFrames(0, frames, buffer, 0, error))
            clip = lumeno::testing::resampled({buffer.channel(0), buffer.channel(0) + frames}, rate, 48000.0);
    }
    if (clip.empty() || !fs::exists(kSpeechData / platform::kLetterToSoundRules))
        GTEST_SKIP() << "festival's voice or the church model is missing";
    lumeno::testing::TempDir dir;
    std::ofstream(dir / "church.lm.bin") << "not a language model";
    platform::SphinxSpeechPlatform sphinx(log_, {platform::modelRoots(nullptr), {dir.path(), kSpeechData}});
    auto recognizer = sphinx.makeRecognizer("en-US", {});
    std::atomic<int> statusChanges{0};
    recognizer->setOnStatusChanged([&] { ++statusChanges; });
    auto request = recognizer->makeRequest({});
    auto task = recognizer->startTask(request, handler());
    clip.resize(clip.size() + 48000, 0.0f);
    auto say = [&] { inBuffers(clip, 48000.0, [&](const audio::AudioBuffer& b) { request->append(b); }); };
    say();
    ASSERT_TRUE(waitFor([](const Results& r) { return r.finals().size() == 1; }));
    EXPECT_EQ(snapshot().finals().front().find("okonkwo"), std::string::npos) << snapshot().finals().front();
    EXPECT_EQ(recognizer->languageModelStatus().inUse, speech::LanguageModelChoice::general);
    EXPECT_NE(recognizer->languageModelStatus().problem, "");
    EXPECT_EQ(statusChanges, 1);

    // By now the silence after the first sentence has opened the next utterance: the change
    // must still apply to the words said next.
    std::this_thread::sleep_for(300ms);
    recognizer->setVocabulary({{"Pastor Okonkwo", ""}});
    say();
    ASSERT_TRUE(waitFor([](const Results& r) { return r.finals().size() == 2; }));
    EXPECT_NE(snapshot().finals().back().find("okonkwo"), std::string::npos) << snapshot().finals().back();
    EXPECT_TRUE(snapshot().errors.empty());
    task->cancel();
}
