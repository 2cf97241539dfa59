#include <gtest/gtest.h>
#include <samplerate.h>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <random>
#include <thread>

#include "fakes/capture_logger.h"
#include "audio/wav_file.h"
#include "platform/sphinx/audio_handoff.h"
#include "platform/sphinx/letter_to_sound.h"
#include "platform/sphinx/sphinx_models.h"
#include "platform/sphinx/sphinx_recognizer.h"
#include "platform/sphinx/sphinx_stream.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using namespace lumeno;
using platform::AudioHandoff;
using platform::SphinxStream;
using speech::RecognitionResult;
namespace fs = std::filesystem;

namespace {

constexpr const char* kGoForward = "/usr/share/pocketsphinx/test/data/goforward.raw";

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

// 16 kHz mono 16-bit little-endian recording as floats.
std::vector<float> readRaw16k(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<float> samples;
    std::int16_t sample;
    while (in.read(reinterpret_cast<char*>(&sample), 2)) samples.push_back(static_cast<float>(sample) / 32768.0f);
    return samples;
}

std::vector<float> resampled(const std::vector<float>& in, double from, double to) {
    std::vector<float> out(static_cast<std::size_t>(static_cast<double>(in.size()) * to / from) + 64);
    SRC_DATA data{in.data(), out.data(), static_cast<long>(in.size()), static_cast<long>(out.size()), 0, 0, 1, to / from};
    EXPECT_EQ(src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1), 0);
    out.resize(static_cast<std::size_t>(data.output_frames_gen));
    return out;
}

// Feeds `samples` to `feed` in capture-sized buffers of one channel.
template <typename Feed>
void inBuffers(const std::vector<float>& samples, double rate, Feed feed, std::uint32_t frames = 4096) {
    for (std::size_t offset = 0; offset < samples.size(); offset += frames) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(frames, samples.size() - offset));
        const float* channels[] = {samples.data() + offset};
        feed(audio::AudioBuffer{channels, 1, n, n, rate});
    }
}

void pushMono(AudioHandoff& handoff, const std::vector<float>& samples, double rate) {
    const float* channels[] = {samples.data()};
    const auto n = static_cast<std::uint32_t>(samples.size());
    handoff.push({channels, 1, n, n, rate});
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
        ++starts;
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
    int starts = 0;

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
    EXPECT_EQ(handoff.takeDroppedFrames(), 0u);
}

TEST(AudioHandoffTest, AFullRingDropsTheOldestAndCountsIt) {
    AudioHandoff handoff(4);
    constexpr std::uint32_t kFrames = std::min(1000u, AudioHandoff::kBlockFrames);  // one block each
    for (int i = 0; i < 6; ++i) pushMono(handoff, std::vector<float>(kFrames, static_cast<float>(i)), 16000.0);
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
            pushMono(handoff, std::vector<float>(AudioHandoff::kBlockFrames, static_cast<float>(i)), 48000.0);
        done = true;
    });
    AudioHandoff::Block block;
    float last = 0.0f;
    std::uint64_t popped = 0;
    bool torn = false;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        const bool finished = done.load();
        while (handoff.pop(block)) {
            for (std::uint32_t f = 1; f < block.frames; ++f) torn = torn || block.samples[f] != block.samples[0];
            EXPECT_GT(block.samples[0], last);
            last = block.samples[0];
            popped += block.frames;
        }
        if (finished) break;
    }
    producer.join();
    EXPECT_FALSE(torn);
    EXPECT_EQ(last, static_cast<float>(kBlocks));  // the newest block always survives
    EXPECT_EQ(popped + handoff.takeDroppedFrames(), std::uint64_t{kBlocks} * AudioHandoff::kBlockFrames);
}

TEST(SphinxModelsTest, FindsTheLocaleFolderInTheFirstRootThatHasAFullModel) {
    lumeno::testing::TempDir dir("lumeno-models");
    auto makeModel = [&](const fs::path& folder, bool withDictionary, const std::vector<std::string>& lms) {
        fs::create_directories(folder / "acoustic");
        for (const auto& file : {fs::path("acoustic") / "mdef", fs::path("acoustic") / "means"}) std::ofstream(folder / file) << "x";
        for (const auto& lm : lms) std::ofstream(folder / lm) << "x";
        if (withDictionary) std::ofstream(folder / "words.dict") << "x";
    };
    makeModel(dir.path() / "extra" / "en-us", false, {"en-us.lm.bin"});  // no dictionary: not a model
    makeModel(dir.path() / "main" / "en-us", true, {"en-us-phone.lm.bin", "en-us.lm.bin"});
    makeModel(dir.path() / "main" / "de-DE", true, {"general.lm"});
    const std::string env = (dir.path() / "extra").string() + "::" + (dir.path() / "main").string();
    const auto roots = platform::modelRoots(env.c_str());
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_EQ(roots.back(), fs::path(platform::kDebianModelRoot));
    EXPECT_EQ(platform::modelRoots(nullptr), std::vector<fs::path>{platform::kDebianModelRoot});

    const auto english = platform::findModel(roots, "en-US");
    ASSERT_TRUE(english);
    EXPECT_EQ(english->languageModel, dir.path() / "main" / "en-us" / "en-us.lm.bin");
    EXPECT_EQ(english->acousticModel, dir.path() / "main" / "en-us" / "acoustic");
    EXPECT_EQ(english->dictionary, dir.path() / "main" / "en-us" / "words.dict");
    const auto german = platform::findModel(roots, "de-DE");
    ASSERT_TRUE(german);
    EXPECT_EQ(german->languageModel.filename(), "general.lm");
    for (const char* locale : {"fr-FR", "", "..", "../main/en-us", "en-us/.."})
        EXPECT_FALSE(platform::findModel(roots, locale)) << locale;
    EXPECT_TRUE(platform::findModel(platform::modelRoots(nullptr), "en-US"));  // Debian's own model
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

class PocketSphinxTest : public ::testing::Test {
protected:
    void SetUp() override {
        goForward_ = readRaw16k(kGoForward);
        ASSERT_GT(goForward_.size(), 40000u) << "pocketsphinx-testdata is not installed";
        auto model = platform::findModel(platform::modelRoots(nullptr), "en-US");
        ASSERT_TRUE(model) << "pocketsphinx-en-us is not installed";
        auto loaded = platform::loadPocketSphinx(*model);
        ASSERT_TRUE(loaded.decoder) << loaded.error;
        decoder_ = std::move(loaded.decoder);
    }

    std::vector<float> goForward_;
    std::unique_ptr<platform::SphinxDecoder> decoder_;
};

// The real decoder: the recording at capture rates, and bad input that must invent nothing.
TEST_F(PocketSphinxTest, RealSpeechDecodesAtCaptureRatesAndBadInputInventsNoCaption) {
    auto padded = [&](double rate) {
        auto audio = rate == 16000.0 ? goForward_ : resampled(goForward_, 16000.0, rate);
        audio.insert(audio.begin(), static_cast<std::size_t>(rate), 0.0f);
        audio.resize(audio.size() + static_cast<std::size_t>(rate), 0.0f);
        return audio;
    };
    std::mt19937 random(7);
    std::normal_distribution<float> gaussian(0.0f, 0.05f);
    std::vector<float> noise(48000 * 4);
    for (auto& s : noise) s = gaussian(random);
    std::vector<float> broken(48000, 0.0f);
    broken[100] = std::nanf("");
    broken[200] = INFINITY;
    auto clipped = padded(16000.0);
    for (auto& s : clipped) s = std::clamp(s * 8.0f, -1.0f, 1.0f);
    enum Expect { goForward, nothing, atMostOneFinal };
    struct Case {
        const char* name;
        std::vector<float> audio;
        double rate;
        Expect expect;
    };
    const std::vector<Case> cases = {
        {"44.1 kHz", padded(44100.0), 44100.0, goForward},
        {"16 kHz", padded(16000.0), 16000.0, goForward},
        {"48 kHz", padded(48000.0), 48000.0, goForward},
        {"silence", std::vector<float>(48000 * 4, 0.0f), 48000.0, nothing},
        {"steady noise", noise, 48000.0, nothing},
        {"not a number", broken, 48000.0, nothing},
        {"clipped speech", clipped, 16000.0, atMostOneFinal},
    };
    for (const auto& c : cases) {
        SphinxStream stream(*decoder_, {});
        Results out;
        inBuffers(c.audio, c.rate, [&](const audio::AudioBuffer& b) { stream.feed(b.channels[0], b.frameLength, c.rate, out.handler()); });
        stream.finish(out.handler());
        EXPECT_TRUE(out.errors.empty()) << c.name;
        if (c.expect == goForward) {
            EXPECT_EQ(out.finals(), std::vector<std::string>{"go forward ten meters"}) << c.name;
            EXPECT_TRUE(!out.results.empty() && !out.results.front().isFinal) << c.name << ": partials first";
        }
        if (c.expect == nothing) {
            EXPECT_TRUE(out.results.empty()) << c.name << ": " << out.results.front().text;
        }
        EXPECT_LE(out.finals().size(), 1u) << c.name;
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
            changed_.notify_all();
        };
    }
    Results snapshot() {
        std::lock_guard lock(mutex_);
        return results_;
    }

    lumeno::testing::CaptureLogger log_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Results results_;
};

TEST_F(SphinxPlatformTest, AuthorizedWithAModelAppendedBuffersBecomeCaptionsOnTheDecoderThreadUntilCancelled) {
    platform::SphinxSpeechPlatform sphinx(log_, {platform::modelRoots(nullptr)});
    EXPECT_EQ(sphinx.authorizationStatus(), speech::AuthorizationStatus::authorized);
    std::optional<speech::AuthorizationStatus> answer;
    sphinx.requestAuthorization([&](speech::AuthorizationStatus s) { answer = s; });
    EXPECT_EQ(answer, speech::AuthorizationStatus::authorized);
    EXPECT_FALSE(sphinx.makeRecognizer("ja-JP", {}));  // no model installed
    auto recognizer = sphinx.makeRecognizer("en-US", {});
    ASSERT_TRUE(recognizer);
    EXPECT_TRUE(recognizer->isAvailable());
    auto request = recognizer->makeRequest({});
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> onOtherThread{true};
    auto task = recognizer->startTask(request, [&, deliver = handler()](auto r, auto e) {
        onOtherThread = onOtherThread && std::this_thread::get_id() != caller;
        deliver(r, e);
    });

    const auto speech = resampled(readRaw16k(kGoForward), 16000.0, 48000.0);
    auto audio = speech;
    audio.resize(audio.size() + 48000, 0.0f);
    // As the tap thread would: in 4096-frame buffers, in real time (10x faster to save time).
    inBuffers(audio, 48000.0, [&](const audio::AudioBuffer& b) {
        request->append(b);
        std::this_thread::sleep_for(8ms);
    });
    ASSERT_TRUE(waitFor([](const Results& r) { return !r.finals().empty(); })) << log_.lines().size();
    auto seen = snapshot();
    EXPECT_EQ(seen.finals(), std::vector<std::string>{"go forward ten meters"});
    EXPECT_FALSE(seen.results.front().isFinal);
    EXPECT_TRUE(onOtherThread);
    EXPECT_FALSE(log_.containsPrefix("🎤 Speech recognition fell behind"));

    task->cancel();
    const auto count = snapshot().results.size();
    inBuffers(speech, 48000.0, [&](const audio::AudioBuffer& b) { request->append(b); });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(snapshot().results.size(), count);
}

TEST_F(SphinxPlatformTest, AModelThatFailsToLoadIsOneErrorAndMakesTheRecognizerUnavailable) {
    platform::SphinxSpeechPlatform::Options options{platform::modelRoots(nullptr)};
    options.loadDecoder = [](const platform::ModelFiles&) { return platform::DecoderLoad{nullptr, "disk on fire"}; };
    platform::SphinxSpeechPlatform sphinx(log_, options);
    auto recognizer = sphinx.makeRecognizer("en-US", {});
    ASSERT_TRUE(recognizer);
    auto task = recognizer->startTask(recognizer->makeRequest({}), handler());
    ASSERT_TRUE(waitFor([](const Results& r) { return !r.errors.empty(); }, 5s));
    EXPECT_EQ(snapshot().errors, std::vector<std::string>{"the speech model for en-US could not be loaded: disk on fire"});
    EXPECT_FALSE(recognizer->isAvailable());
}

TEST_F(SphinxPlatformTest, ADecoderThatFallsBehindDropsTheOldestAudioAndSaysSo) {
    // A decoder that takes 50 ms per call against a hand-over of a quarter second.
    platform::SphinxSpeechPlatform::Options options{platform::modelRoots(nullptr)};
    options.loadDecoder = [](const platform::ModelFiles&) {
        auto slow = std::make_unique<ScriptedDecoder>();
        slow->delay = 50ms;
        return platform::DecoderLoad{std::move(slow), {}};
    };
    options.handoffSeconds = 0.25;
    platform::SphinxSpeechPlatform sphinx(log_, options);
    auto recognizer = sphinx.makeRecognizer("en-US", {});
    auto request = recognizer->makeRequest({});
    auto task = recognizer->startTask(request, handler());
    const auto started = std::chrono::steady_clock::now();
    inBuffers(std::vector<float>(48000, 0.0f), 48000.0, [&](const audio::AudioBuffer& b) { request->append(b); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, 100ms);  // the tap thread never waits
    EXPECT_TRUE(log_.waitForPrefix("🎤 Speech recognition fell behind: dropped the oldest ", 5s));
    task->cancel();
}

// --- Letter-to-sound, the church model and the operator's vocabulary ----------------------------

namespace {

const fs::path kSpeechData = LUMENO_SPEECH_DATA_DIR;

std::vector<float> clipAt48k(const std::string& path) {
    auto opened = audio::WavFile::open(path);
    if (!opened.file) return {};
    const auto frames = static_cast<std::uint32_t>(opened.file->frameCount());
    audio::FloatBuffer buffer(1, frames, opened.file->format().sampleRate);
    std::string error;
    if (opened.file->format().channelCount != 1 || !opened.file->readFrames(0, frames, buffer, 0, error)) return {};
    return resampled({buffer.channel(0), buffer.channel(0) + frames}, opened.file->format().sampleRate, 48000.0);
}

}  // namespace

TEST(LetterToSoundTest, PronouncesAsFestivalsRulesDoAndRefusesADamagedFile) {
    std::string error;
    const auto rules = platform::LetterToSound::load(kSpeechData / platform::kLetterToSoundRules, error);
    if (!rules) GTEST_SKIP() << "the church model is not built: " << error;
    // festival's lts_predict gives these, with stress marks and the reduced vowel written ax.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Okonkwo", "AH K AH NG K W OW"}, {"habakkuk", "HH AA B AA K AH K"},
        {"Nkechi", "NG K EH K IY"},       {"zerubbabel", "Z EH R AH B AE B AH L"}};
    for (const auto& [word, phones] : cases) EXPECT_EQ(rules->pronounce(word), phones) << word;
    EXPECT_EQ(rules->pronounce("1234"), std::nullopt);
    EXPECT_FALSE(platform::LetterToSound::parse("(set! cmu_lts_rules '((a ((n.name is r) (((aa1 1) aa1))))))", error));
    EXPECT_FALSE(platform::LetterToSound::parse("nothing here", error));
}

TEST_F(PocketSphinxTest, TheChurchModelKnowsBiblicalNamesAndABrokenOneLeavesTheGeneralModel) {
    auto model = *platform::findModel(platform::modelRoots(nullptr), "en-US");
    model.domain = platform::DomainModel{kSpeechData / platform::kChurchLanguageModel, kSpeechData / platform::kChurchDictionary};
    if (!fs::exists(model.domain->languageModel)) GTEST_SKIP() << "the church model is not built";
    EXPECT_FALSE(decoder_->knowsWord("habakkuk"));
    const auto church = platform::loadPocketSphinx(model);
    ASSERT_TRUE(church.decoder) << church.error;
    EXPECT_EQ(church.domainError, "");
    EXPECT_TRUE(church.decoder->knowsWord("habakkuk"));

    lumeno::testing::TempDir dir;
    std::ofstream(dir / "church.lm.bin") << "not a language model";
    model.domain->languageModel = dir / "church.lm.bin";
    const auto broken = platform::loadPocketSphinx(model);
    ASSERT_TRUE(broken.decoder) << broken.error;
    EXPECT_NE(broken.domainError, "");
    Results out;
    SphinxStream stream(*broken.decoder, {});
    auto audio = goForward_;
    audio.resize(audio.size() + 16000, 0.0f);
    stream.feed(audio.data(), audio.size(), 16000.0, out.handler());
    EXPECT_EQ(out.finals(), std::vector<std::string>{"go forward ten meters"});
}

// A church model that is missing or broken at start: the general model, one log line and the
// status say so, and captions go on. A name added to the vocabulary while the task runs is
// recognised from the next utterance on, without a restart.
TEST_F(SphinxPlatformTest, ANameAddedWhileRunningIsRecognisedAtTheNextUtteranceOnTheGeneralModelWhenTheChurchOneIsBroken) {
    const auto clip = clipAt48k(LUMENO_VOCABULARY_CLIP);
    if (clip.empty() || !fs::exists(kSpeechData / platform::kLetterToSoundRules))
        GTEST_SKIP() << "festival's voice or the church model is missing";
    {
        platform::SphinxSpeechPlatform missing(log_, {platform::modelRoots(nullptr), {"/nonexistent"}});
        const auto recognizer = missing.makeRecognizer("en-US", {});
        EXPECT_EQ(recognizer->languageModelStatus().inUse, speech::LanguageModelChoice::general);
        EXPECT_TRUE(log_.contains("🎤 The church language model is not installed: captions use the general model"));
    }
    lumeno::testing::TempDir dir;
    std::ofstream(dir / "church.lm.bin") << "not a language model";
    platform::SphinxSpeechPlatform sphinx(log_, {platform::modelRoots(nullptr), {dir.path(), kSpeechData}});
    auto recognizer = sphinx.makeRecognizer("en-US", {});
    std::atomic<int> statusChanges{0};
    recognizer->setOnStatusChanged([&] { ++statusChanges; });
    auto request = recognizer->makeRequest({});
    auto task = recognizer->startTask(request, handler());
    auto say = [&] {
        auto audio = clip;
        audio.resize(audio.size() + 48000, 0.0f);
        inBuffers(audio, 48000.0, [&](const audio::AudioBuffer& b) { request->append(b); });
    };
    say();
    ASSERT_TRUE(waitFor([](const Results& r) { return r.finals().size() == 1; }));
    EXPECT_EQ(snapshot().finals().front().find("okonkwo"), std::string::npos) << snapshot().finals().front();
    EXPECT_EQ(recognizer->languageModelStatus().inUse, speech::LanguageModelChoice::general);
    EXPECT_NE(recognizer->languageModelStatus().problem, "");
    EXPECT_EQ(statusChanges, 1);
    EXPECT_TRUE(log_.containsPrefix("🎤 The church language model could not be loaded ("));

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
