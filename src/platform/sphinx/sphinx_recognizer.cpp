#include "platform/sphinx/sphinx_recognizer.h"

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/sphinx/audio_handoff.h"
#include "platform/sphinx/letter_to_sound.h"
#include "platform/sphinx/sphinx_stream.h"

namespace lumeno::platform {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kIdleWait = 10ms;           // how long the decoder thread naps when no audio is queued
constexpr auto kDropLogInterval = 5s;      // at most one "fell behind" line this often
constexpr double kNominalRate = 48000.0;   // sizes the hand-over, which counts blocks, not seconds
// festival's own copy of the letter-to-sound rules, when Lumeno's is not installed.
constexpr const char* kFestivalLetterToSound = "/usr/share/festival/dicts/cmu/cmu_lts_rules.scm";

bool isUSEnglish(std::string identifier) {
    for (char& c : identifier) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return identifier == "en-us";
}

class SphinxRequest final : public speech::RecognitionRequest {
public:
    SphinxRequest(const speech::RequestOptions& asked, std::size_t blocks) : options(asked), handoff(blocks) {}
    void append(const audio::AudioBuffer& buffer) override { handoff.push(buffer); }

    const speech::RequestOptions options;
    AudioHandoff handoff;
};

// A task as the decoder thread and main share it. The lock makes cancel() wait for a result
// that is being delivered, so none arrives after it returns.
struct TaskState {
    std::shared_ptr<SphinxRequest> request;
    speech::ResultHandler handler;
    std::mutex deliveryMutex;
    std::atomic<bool> cancelled{false};

    void deliver(const std::optional<speech::RecognitionResult>& result, const std::optional<std::string>& error) {
        std::lock_guard lock(deliveryMutex);
        if (!cancelled && handler) handler(result, error);
    }
};

class SphinxTask final : public speech::RecognitionTask {
public:
    explicit SphinxTask(std::shared_ptr<TaskState> state) : state_(std::move(state)) {}
    void cancel() override {
        std::lock_guard lock(state_->deliveryMutex);
        state_->cancelled = true;
    }

private:
    std::shared_ptr<TaskState> state_;
};

// The decoding thread of one recogniser: runs its tasks one after another with one decoder,
// loaded on the first task and kept, so a restart does not reload the model.
class DecoderThread {
public:
    DecoderThread(core::Logger& log, ModelFiles model, std::string locale, SphinxSpeechPlatform::DecoderLoader load,
                  std::optional<std::filesystem::path> letterToSound, speech::LanguageModelStatus status,
                  std::vector<speech::VocabularyEntry> vocabulary)
        : log_(log), model_(std::move(model)), locale_(std::move(locale)), load_(std::move(load)),
          letterToSoundRules_(std::move(letterToSound)), status_(std::move(status)),
          pendingVocabulary_(std::move(vocabulary)) {}

    ~DecoderThread() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    // A newer task supersedes the one running.
    void submit(std::shared_ptr<TaskState> task) {
        {
            std::lock_guard lock(mutex_);
            pending_.push_back(std::move(task));
            if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        }
        wake_.notify_all();
    }

    bool loadFailed() const { return loadFailed_.load(); }

    // Picked up between utterances by the decoding thread.
    void setVocabulary(std::vector<speech::VocabularyEntry> vocabulary) {
        std::lock_guard lock(statusMutex_);
        pendingVocabulary_ = std::move(vocabulary);
    }
    speech::LanguageModelStatus status() const {
        std::lock_guard lock(statusMutex_);
        return status_;
    }
    void setOnStatusChanged(std::function<void()> changed) {
        std::lock_guard lock(statusMutex_);
        onStatusChanged_ = std::move(changed);
    }

private:
    void run() {
        for (;;) {
            std::shared_ptr<TaskState> task;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
                if (stopping_) return;
                task = std::move(pending_.front());
                pending_.pop_front();
            }
            if (task->cancelled) continue;
            if (!decoder_) {
                auto loaded = load_(model_);
                if (!loaded.decoder) {
                    loadFailed_ = true;
                    statusChanged();
                    task->deliver(std::nullopt, "the speech model for " + locale_ + " could not be loaded: " + loaded.error);
                    continue;
                }
                decoder_ = std::move(loaded.decoder);
                if (model_.domain) {
                    if (loaded.domainError.empty()) {
                        setStatus({speech::LanguageModelChoice::church, {}});
                    } else {
                        log_.print("🎤 The church language model could not be loaded (", loaded.domainError,
                                   "): captions use the general model");
                        setStatus({speech::LanguageModelChoice::general,
                                   "the church language model could not be loaded: " + loaded.domainError});
                    }
                }
            }
            applyVocabulary();
            decode(*task);
        }
    }

    bool superseded() {
        std::lock_guard lock(mutex_);
        return stopping_ || !pending_.empty();
    }

    void decode(TaskState& task) {
        SphinxStream::Options options;
        options.reportPartialResults = task.request->options.shouldReportPartialResults;
        options.beforeUtterance = [this] { applyVocabulary(); };
        options.changePending = [this] {
            std::lock_guard lock(statusMutex_);
            return pendingVocabulary_.has_value();
        };
        SphinxStream stream(*decoder_, options);
        const speech::ResultHandler sink = [&task](std::optional<speech::RecognitionResult> result,
                                                   std::optional<std::string> error) { task.deliver(result, error); };
        AudioHandoff& handoff = task.request->handoff;
        double rate = kNominalRate;
        double droppedSeconds = 0.0;
        std::optional<Clock::time_point> lastDropLog;

        while (!task.cancelled && !superseded()) {
            bool decoded = false;
            while (!task.cancelled && handoff.pop(block_)) {
                rate = block_.sampleRate > 0.0 ? block_.sampleRate : rate;
                stream.feed(block_.samples.data(), block_.frames, block_.sampleRate, sink);
                decoded = true;
            }
            droppedSeconds += static_cast<double>(handoff.takeDroppedFrames()) / rate;
            if (droppedSeconds > 0.0 && (!lastDropLog || Clock::now() - *lastDropLog >= kDropLogInterval)) {
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, "%.1f", droppedSeconds);
                log_.print("🎤 Speech recognition fell behind: dropped the oldest ", seconds, " s of audio");
                lastDropLog = Clock::now();
                droppedSeconds = 0.0;
            }
            if (!decoded) {
                std::unique_lock lock(mutex_);
                wake_.wait_for(lock, kIdleWait, [&] { return stopping_ || !pending_.empty(); });
            }
        }
        stream.abandon();
    }

    void setStatus(speech::LanguageModelStatus status) {
        {
            std::lock_guard lock(statusMutex_);
            status_ = std::move(status);
        }
        statusChanged();
    }
    void statusChanged() {
        std::function<void()> changed;
        {
            std::lock_guard lock(statusMutex_);
            changed = onStatusChanged_;
        }
        if (changed) changed();
    }

    // Decoding thread, between utterances: the latest vocabulary, pronounced, into the decoder.
    void applyVocabulary() {
        std::optional<std::vector<speech::VocabularyEntry>> next;
        {
            std::lock_guard lock(statusMutex_);
            next.swap(pendingVocabulary_);
        }
        if (!next || !decoder_) return;
        std::vector<std::string> unpronounced;
        const auto entries = pronounceVocabulary(*next, *decoder_, letterToSound(), unpronounced);
        if (const std::string error = decoder_->setVocabulary(entries); !error.empty()) {
            log_.print("🎤 The vocabulary could not be applied: ", error);
        } else if (!unpronounced.empty()) {
            std::string list;
            for (const auto& w : unpronounced) list += (list.empty() ? "" : ", ") + w;
            log_.print("🎤 No pronunciation could be made for: ", list);
        }
    }

    // Loaded on first use: most sessions never need it.
    const LetterToSound* letterToSound() {
        if (!letterToSound_ && letterToSoundRules_) {
            std::string error;
            letterToSound_ = LetterToSound::load(*letterToSoundRules_, error);
            if (!letterToSound_) log_.print("🎤 The letter-to-sound rules could not be read: ", error);
            letterToSoundRules_.reset();  // one try
        }
        return letterToSound_.get();
    }

    core::Logger& log_;
    const ModelFiles model_;
    const std::string locale_;
    const SphinxSpeechPlatform::DecoderLoader load_;
    std::optional<std::filesystem::path> letterToSoundRules_;  // decoding thread
    std::unique_ptr<LetterToSound> letterToSound_;              // decoding thread

    mutable std::mutex statusMutex_;
    speech::LanguageModelStatus status_;
    std::function<void()> onStatusChanged_;
    std::optional<std::vector<speech::VocabularyEntry>> pendingVocabulary_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<TaskState>> pending_;
    bool stopping_ = false;
    std::thread thread_;

    // Decoder thread only.
    std::unique_ptr<SphinxDecoder> decoder_;
    AudioHandoff::Block block_;
    std::atomic<bool> loadFailed_{false};
};

class SphinxRecognizer final : public speech::SpeechRecognizer {
public:
    SphinxRecognizer(core::Logger& log, ModelFiles model, std::string locale, SphinxSpeechPlatform::DecoderLoader load,
                     std::size_t handoffBlocks, std::optional<std::filesystem::path> letterToSound,
                     speech::LanguageModelStatus status, std::vector<speech::VocabularyEntry> vocabulary)
        : thread_(log, std::move(model), std::move(locale), std::move(load), std::move(letterToSound), std::move(status),
                  std::move(vocabulary)),
          handoffBlocks_(handoffBlocks) {}

    bool isAvailable() const override { return !thread_.loadFailed(); }
    void setVocabulary(std::vector<speech::VocabularyEntry> vocabulary) override {
        thread_.setVocabulary(std::move(vocabulary));
    }
    speech::LanguageModelStatus languageModelStatus() const override { return thread_.status(); }
    void setOnStatusChanged(std::function<void()> changed) override { thread_.setOnStatusChanged(std::move(changed)); }

    std::shared_ptr<speech::RecognitionRequest> makeRequest(const speech::RequestOptions& options) override {
        return std::make_shared<SphinxRequest>(options, handoffBlocks_);
    }

    std::shared_ptr<speech::RecognitionTask> startTask(std::shared_ptr<speech::RecognitionRequest> request,
                                                       speech::ResultHandler handler) override {
        auto state = std::make_shared<TaskState>();
        state->request = std::dynamic_pointer_cast<SphinxRequest>(std::move(request));
        state->handler = std::move(handler);
        if (state->request) thread_.submit(state);
        return std::make_shared<SphinxTask>(state);
    }

private:
    DecoderThread thread_;
    const std::size_t handoffBlocks_;
};

}  // namespace

std::vector<PronouncedEntry> pronounceVocabulary(const std::vector<speech::VocabularyEntry>& vocabulary,
                                                 SphinxDecoder& decoder, const LetterToSound* rules,
                                                 std::vector<std::string>& unpronounced) {
    std::vector<PronouncedEntry> entries;
    for (const auto& entry : vocabulary) {
        PronouncedEntry words;
        for (const std::string& word : speech::vocabularyWords(entry.text)) {
            std::string phones = entry.pronunciation;
            if (phones.empty() && !decoder.knowsWord(word)) {
                if (rules) phones = rules->pronounce(word).value_or("");
                if (phones.empty()) {
                    unpronounced.push_back(word);
                    continue;
                }
            }
            words.push_back({word, phones});
        }
        if (!words.empty()) entries.push_back(std::move(words));
    }
    return entries;
}

SphinxSpeechPlatform::SphinxSpeechPlatform(core::Logger& log, Options options) : log_(log), options_(std::move(options)) {}

std::unique_ptr<speech::SpeechRecognizer> SphinxSpeechPlatform::makeRecognizer(
    const std::string& localeIdentifier, const speech::RecognizerSettings& settings) {
    auto model = findModel(options_.modelRoots, localeIdentifier);
    if (!model) return nullptr;
    speech::LanguageModelStatus status;
    // The church model is English text: other languages keep their own model.
    if (settings.languageModel == speech::LanguageModelChoice::church && isUSEnglish(localeIdentifier)) {
        const auto lm = findSpeechData(options_.speechDataDirs, kChurchLanguageModel);
        const auto dict = findSpeechData(options_.speechDataDirs, kChurchDictionary);
        if (lm && dict) {
            model->domain = DomainModel{*lm, *dict};
            status.inUse = speech::LanguageModelChoice::church;  // until loading says otherwise
        } else {
            status.problem = "the church language model is not installed";
            log_.line("🎤 The church language model is not installed: captions use the general model");
        }
    }
    auto rules = findSpeechData(options_.speechDataDirs, kLetterToSoundRules);
    if (!rules && std::filesystem::exists(kFestivalLetterToSound)) rules = kFestivalLetterToSound;
    const auto blocks = static_cast<std::size_t>(options_.handoffSeconds * kNominalRate / AudioHandoff::kBlockFrames) + 1;
    return std::make_unique<SphinxRecognizer>(log_, std::move(*model), localeIdentifier, options_.loadDecoder, blocks,
                                              std::move(rules), std::move(status), settings.vocabulary);
}

void SphinxSpeechPlatform::requestAuthorization(std::function<void(speech::AuthorizationStatus)> answer) {
    if (answer) answer(speech::AuthorizationStatus::authorized);
}

}  // namespace lumeno::platform
