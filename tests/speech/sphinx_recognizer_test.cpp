#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <random>
#include <thread>

#include "audio/wav_file.h"
#include "fakes/capture_logger.h"
#include "platform/sphinx/audio_handoff.h"
#include "platform/sphinx/letter_to_sound.h"
#include "platform/sphinx/sphinx_models.h"
#include "platform/sphinx/sphinx_recognizer.h"
#include "platform/sphinx/sphinx_stream.h"
#include "support/speech_recording.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using namespace lumeno;
using lumeno::testing::goForward;
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
void inBuffers(const std::vector<float>& samples, double rate, Feed feed, std::uint32_t frames = 4096) {
    for (std::size_t offset = 0; offset < samples.size(); offset += frames) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(frames, samples.size() - offset));
        const float* channels[] = {samples.data() + offset};
        feed(audio::AudioBuffer{channels, 1, n, n, rate});
    }
}

void pushMono(AudioHandoff& handoff, const std::vector<float>& samples) {
    inBuffers(samples, 48000.0, [&](const audio::AudioBuffer& b) { handoff.push(b); }, ~0u);
}

std::string words(int n) {
    std::string text;
    for (int i = 1; i <= n; ++i) text += (i > 1 ? " w" : "w") + std::to_string(i);
    return text;
}

// A decoder that follows a script: whether each call's audio is speech, and the hypothesis as
// the number of speech calls so far ("w1 w2 ..."); calls listed in failOn fail; each call takes `delay`.
class ScriptedDecoder final : public platform::SphinxDecoder {
public:
    bool startUtterance() override {
        words_ = 0;
        return true;
    }
    bool process(const std::int16_t*, std::size_t count) override {
        samples += count;
        std::this_thread::sleep_for(delay);
        const std::size_t call = calls++;
        if (failOn.count(call)) return false;
        speech_ = call < speech.size() && speech[call];
        words_ += speech_ ? 1 : 0;
        return true;
    }
    bool inSpeech() override { return speech_; }
    bool endUtterance() override { return true; }
    std::string hypothesis() override { return blank ? "  " : words(words_); }
    bool knowsWord(const std::string&) override { return true; }
    std::string setVocabulary(const std::vector<platform::PronouncedEntry>&) override { return {}; }

    std::vector<bool> speech;
    std::set<std::size_t> failOn;
    bool blank = false;
    std::chrono::milliseconds delay{0};
    std::size_t calls = 0, samples = 0;

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

TEST(AudioHandoffTest, MixesToMonoSplitsIntoBlocksAndKeepsOrder) {
    AudioHandoff handoff(5000 / AudioHandoff::kBlockFrames + 1);
    std::vector<float> left(5000), right(5000, -0.1f);
    for (std::size_t i = 0; i < left.size(); ++i) left[i] = static_cast<float>(i) / 10000.0f;
    const float* channels[] = {left.data(), right.data()};
    handoff.push({channels, 2, 5000, 5000, 44100.0});

    AudioHandoff::Block block;
    std::vector<std::uint32_t> sizes;
    std::size_t frame = 0;
    while (handoff.pop(block)) {
        sizes.push_back(block.frames);
        EXPECT_EQ(block.sampleRate, 44100.0);
        for (std::uint32_t f = 0; f < block.frames; ++f, ++frame)
            ASSERT_FLOAT_EQ(block.samples[f], (left[frame] + right[frame]) / 2.0f) << frame;
    }
    std::vector<std::uint32_t> expected(5000 / AudioHandoff::kBlockFrames, AudioHandoff::kBlockFrames);
    expected.push_back(5000 % AudioHandoff::kBlockFrames);
    EXPECT_EQ(sizes, expected);
}

TEST(AudioHandoffTest, AFullRingDropsTheOldestAndCountsIt) {
    AudioHandoff handoff(4);
    constexpr std::uint32_t kFrames = std::min(1000u, AudioHandoff::kBlockFrames);  // one block each
    for (int i = 0; i < 6; ++i) pushMono(handoff, std::vector<float>(kFrames, static_cast<float>(i)));
    EXPECT_EQ(handoff.takeDroppedFrames(), 2 * kFrames);
    EXPECT_EQ(handoff.takeDroppedFrames(), 0u);
    AudioHandoff::Block block;
    std::vector<float> kept;
    while (handoff.pop(block)) kept.push_back(block.samples[0]);
    EXPECT_EQ(kept, (std::vector<float>{2, 3, 4, 5}));
}

TEST(AudioHandoffTest, ConcurrentConsumerNeverSeesATornOrReorderedBlock) {
    AudioHandoff handoff(4);
    constexpr int kBlocks = 20000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 1; i <= kBlocks; ++i)
            pushMono(handoff, std::vector<float>(AudioHandoff::kBlockFrames, static_cast<float>(i)));
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
    EXPECT_EQ(last, static_cast<float>(kBlocks));  // the newest block always survives
    EXPECT_EQ(popped + handoff.takeDroppedFrames(), std::uint64_t{kBlocks} * AudioHandoff::kBlockFrames);
}

TEST(SphinxModelsTest, FindsTheLocaleFolderInTheFirstRootThatHasAFullModel) {
    lumeno::testing::TempDir dir("lumeno-models");
    auto makeModel = [&](const fs::path& folder, bool withDictionary, const std::string& lm) {
        fs::create_directories(folder / "acoustic");
        for (const char* file : {"acoustic/mdef", "acoustic/means", lm.c_str()}) std::ofstream(folder / file) << "x";
        if (withDictionary) std::ofstream(folder / "words.dict") << "x";
    };
    makeModel(dir.path() / "extra" / "en-us", false, "en-us.lm.bin");  // no dictionary: not a model
    makeModel(dir.path() / "main" / "en-us", true, "en-us.lm.bin");
    makeModel(dir.path() / "main" / "de-DE", true, "general.lm");
    const std::string env = (dir.path() / "extra").string() + "::" + (dir.path() / "main").string();
    const auto roots = platform::modelRoots(env.c_str());
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_EQ(roots.back(), fs::path(platform::kDebianModelRoot));

    const auto english = platform::findModel(roots, "en-US");
    ASSERT_TRUE(english);
    EXPECT_EQ(english->languageModel, dir.path() / "main" / "en-us" / "en-us.lm.bin");
    EXPECT_EQ(english->acousticModel, dir.path() / "main" / "en-us" / "acoustic");
    EXPECT_EQ(english->dictionary, dir.path() / "main" / "en-us" / "words.dict");
    EXPECT_EQ(platform::findModel(roots, "de-DE")->languageModel.filename(), "general.lm");
    for (const char* locale : {"fr-FR", "", "..", "../main/en-us"}) EXPECT_FALSE(platform::findModel(roots, locale)) << locale;
}

// 16 kHz blocks of 0.1 s through a scripted decoder, then the end of input.
TEST(SphinxStreamTest, CaptionsFollowTheDecodersVoiceDetection) {
    struct Case {
        const char* name;
        std::vector<bool> speech;
        std::set<std::size_t> failOn;
        bool blank;
        std::vector<std::string> partials, finals, errors;
    };
    const std::vector<Case> cases = {
        // Every 0.4 s of speech, so never more than half a second apart; the final when it ends.
        {"speech", script({{3, false}, {15, true}, {5, false}}), {}, false,
         {words(4), words(8), words(12)}, {words(15)}, {}},
        // Blank hypotheses at a partial, at the end of speech and at the flush give nothing.
        {"blank", script({{1, false}, {5, true}, {2, false}, {2, true}}), {}, true, {}, {}, {}},
        // One error for a run of failures; the failed utterance is dropped, the next one decodes.
        {"failure", {true, true, false, false, false, true, true, false}, {1, 2, 3}, false,
         {}, {"w1 w2"}, {"the decoder failed on the audio"}},
    };
    for (const auto& c : cases) {
        ScriptedDecoder decoder;
        decoder.speech = c.speech;
        decoder.failOn = c.failOn;
        decoder.blank = c.blank;
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

TEST(SphinxStreamTest, ResamplesToSixteenKilohertzAndCapsAnEndlessUtterance) {
    ScriptedDecoder decoder;
    decoder.speech.assign(100, true);
    SphinxStream::Options options;
    options.reportPartialResults = false;
    options.maxUtteranceSeconds = 2.0;
    SphinxStream stream(decoder, options);
    Results out;
    const std::vector<float> second(48000, 0.2f);
    for (int i = 0; i < 5; ++i) stream.feed(second.data(), second.size(), 48000.0, out.handler());
    EXPECT_NEAR(static_cast<double>(decoder.samples), 5 * 16000.0, 200.0);
    EXPECT_EQ(out.finals().size(), 2u);  // at 2 s and 4 s of unbroken speech
    EXPECT_EQ(out.results.size(), 2u);   // and no partials
}

// The real decoder on the recording at a capture rate, and on input that must invent nothing.
TEST(PocketSphinxTest, RealSpeechDecodesAtACaptureRateAndBadInputInventsNoCaption) {
    auto model = platform::findModel(platform::modelRoots(nullptr), "en-US");
    ASSERT_TRUE(model) << "pocketsphinx-en-us is not installed";
    auto loaded = platform::loadPocketSphinx(*model);
    ASSERT_TRUE(loaded.decoder) << loaded.error;
    std::mt19937 random(7);
    std::normal_distribution<float> gaussian(0.0f, 0.05f);
    std::vector<float> noise(48000 * 4), broken(48000, 0.0f);
    for (auto& s : noise) s = gaussian(random);
    broken[100] = std::nanf("");
    broken[200] = INFINITY;
    struct Case {
        const char* name;
        std::vector<float> audio;
        double rate;
        std::vector<std::string> finals;
    };
    const std::vector<Case> cases = {
        {"44.1 kHz", goForward(44100.0, 1.0, 1.0), 44100.0, {"go forward ten meters"}},
        {"steady noise", noise, 48000.0, {}},
        {"not a number", broken, 48000.0, {}},
    };
    ASSERT_FALSE(cases[0].audio.empty()) << "pocketsphinx-testdata is not installed";
    for (const auto& c : cases) {
        SphinxStream stream(*loaded.decoder, {});
        Results out;
        inBuffers(c.audio, c.rate, [&](const audio::AudioBuffer& b) {
            stream.feed(b.channels[0], b.frameLength, c.rate, out.handler());
        });
        stream.finish(out.handler());
        EXPECT_TRUE(out.errors.empty()) << c.name;
        EXPECT_EQ(out.finals(), c.finals) << c.name;
        EXPECT_TRUE(c.finals.empty() ? out.results.empty() : !out.results.front().isFinal) << c.name << ": partials first";
    }
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
            onThread_ = std::this_thread::get_id();
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
    std::thread::id onThread_;
};

// Appended buffers are decoded on the recogniser's own thread, and nothing arrives once cancelled.
TEST_F(SphinxPlatformTest, AppendedAudioBecomesCaptionsOnTheDecoderThreadUntilCancelled) {
    platform::SphinxSpeechPlatform sphinx(log_, scripted([] {
        auto decoder = std::make_unique<ScriptedDecoder>();
        decoder->speech = script({{4, true}, {1, false}, {100, true}});
        return decoder;
    }));
    EXPECT_FALSE(sphinx.makeRecognizer("ja-JP", {}));  // no model installed
    auto recognizer = sphinx.makeRecognizer("en-US", {});
    ASSERT_TRUE(recognizer);
    auto request = recognizer->makeRequest({});
    auto task = recognizer->startTask(request, handler());
    const std::vector<float> second(48000, 0.1f);
    inBuffers(second, 48000.0, [&](const audio::AudioBuffer& b) { request->append(b); });
    ASSERT_TRUE(waitFor([](const Results& r) { return !r.finals().empty(); }));
    EXPECT_EQ(snapshot().finals(), std::vector<std::string>{words(4)});
    EXPECT_NE(onThread_, std::this_thread::get_id());

    task->cancel();
    const auto count = snapshot().results.size();
    inBuffers(second, 48000.0, [&](const audio::AudioBuffer& b) { request->append(b); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(snapshot().results.size(), count);
}

TEST_F(SphinxPlatformTest, AModelThatFailsToLoadIsOneErrorAndMakesTheRecognizerUnavailable) {
    platform::SphinxSpeechPlatform sphinx(log_, scripted([] { return nullptr; }));
    auto recognizer = sphinx.makeRecognizer("en-US", {});
    ASSERT_TRUE(recognizer);
    auto task = recognizer->startTask(recognizer->makeRequest({}), handler());
    ASSERT_TRUE(waitFor([](const Results& r) { return !r.errors.empty(); }, 5s));
    EXPECT_EQ(snapshot().errors, std::vector<std::string>{"the speech model for en-US could not be loaded: disk on fire"});
    EXPECT_FALSE(recognizer->isAvailable());
}

// A decoder that takes 50 ms per call against a hand-over of a quarter second: the tap never
// waits, the oldest audio goes and the operator is told.
TEST_F(SphinxPlatformTest, ADecoderThatFallsBehindDropsTheOldestAudioAndSaysSo) {
    auto options = scripted([] {
        auto slow = std::make_unique<ScriptedDecoder>();
        slow->delay = 50ms;
        return slow;
    });
    options.handoffSeconds = 0.25;
    platform::SphinxSpeechPlatform sphinx(log_, options);
    auto recognizer = sphinx.makeRecognizer("en-US", {});
    auto request = recognizer->makeRequest({});
    auto task = recognizer->startTask(request, handler());
    const auto started = std::chrono::steady_clock::now();
    inBuffers(std::vector<float>(48000, 0.0f), 48000.0, [&](const audio::AudioBuffer& b) { request->append(b); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, 100ms);
    EXPECT_TRUE(log_.waitForPrefix("🎤 Speech recognition fell behind: dropped the oldest ", 5s));
    task->cancel();
}

// --- Letter-to-sound, the church model and the operator's vocabulary ----------------------------

TEST(LetterToSoundTest, PronouncesAsFestivalsRulesDoAndRefusesADamagedFile) {
    std::string error;
    const auto rules = platform::LetterToSound::load(kSpeechData / platform::kLetterToSoundRules, error);
    if (!rules) GTEST_SKIP() << "the church model is not built: " << error;
    // festival's lts_predict gives these, with stress marks and the reduced vowel written ax.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Okonkwo", "AH K AH NG K W OW"}, {"habakkuk", "HH AA B AA K AH K"}, {"zerubbabel", "Z EH R AH B AE B AH L"}};
    for (const auto& [word, phones] : cases) EXPECT_EQ(rules->pronounce(word), phones) << word;
    EXPECT_EQ(rules->pronounce("1234"), std::nullopt);
    EXPECT_FALSE(platform::LetterToSound::parse("(set! cmu_lts_rules '((a ((n.name is r) (((aa1 1) aa1))))))", error));
    EXPECT_FALSE(platform::LetterToSound::parse("nothing here", error));
}

TEST(ChurchModelTest, KnowsBiblicalNamesTheGeneralModelLacks) {
    auto model = *platform::findModel(platform::modelRoots(nullptr), "en-US");
    model.domain = platform::DomainModel{kSpeechData / platform::kChurchLanguageModel, kSpeechData / platform::kChurchDictionary};
    if (!fs::exists(model.domain->languageModel)) GTEST_SKIP() << "the church model is not built";
    const auto church = platform::loadPocketSphinx(model);
    ASSERT_TRUE(church.decoder) << church.error;
    EXPECT_EQ(church.domainError, "");
    EXPECT_TRUE(church.decoder->knowsWord("habakkuk"));
}

// A church model that is missing or broken at start: the general model, one log line and the
// status say so, and captions go on. A name added to the vocabulary while the task runs is
// recognised from the next utterance on, without a restart.
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
    {
        platform::SphinxSpeechPlatform missing(log_, {platform::modelRoots(nullptr), {"/nonexistent"}});
        EXPECT_EQ(missing.makeRecognizer("en-US", {})->languageModelStatus().inUse, speech::LanguageModelChoice::general);
    }
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
