#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/speech_feed.h"
#include "core/log.h"
#include "core/main_queue.h"
#include "core/notification_center.h"
#include "prefs/preferences_manager.h"
#include "speech/speech_recognizer.h"
#include "speech/transcription_correction_manager.h"
#include "speech/transcription_sink.h"


namespace lumeno::speech {

// Posted on main when a session starts or stops, and when the permission or the recogniser's
// availability may have changed.
inline constexpr const char* kSpeechRecognitionStatusChanged = "speechRecognitionStatusChanged";


struct SupportedLanguage {
    const char* identifier;
    const char* displayName;
};

// The live captioning session: one recognition task fed with the streamed audio, every result
// corrected, stored, handed to the controller and broadcast to listeners; finals also get the
// punctuation pass and, when it changes them, a second send. One per process, made by the
// composition root and shared.
//
// Thread: main for everything but append and isRecognizing (the tap thread) and the result
// handler (the recogniser's thread, which only corrects the text and posts to main).
class SpeechRecognitionManager final : public audio::SpeechFeed,
                                       public std::enable_shared_from_this<SpeechRecognitionManager> {
public:
    struct Services {
        core::MainQueue& mainQueue;
        core::Logger& log;
        prefs::PreferencesManager& preferences;
        std::shared_ptr<TranscriptionCorrectionManager> corrections;
        SpeechPlatform& platform;  // must outlive the manager
        // Where "speechRecognitionStatusChanged" goes; none: not posted.
        core::NotificationCenter* notifications = nullptr;
    };

    // What the platform has for a language.
    enum class ModelState { ready, missing, broken };

    // Sets up the recogniser for the stored language and reads the permission.
    static std::shared_ptr<SpeechRecognitionManager> create(Services services);
    ~SpeechRecognitionManager() override;
    SpeechRecognitionManager(const SpeechRecognitionManager&) = delete;
    SpeechRecognitionManager& operator=(const SpeechRecognitionManager&) = delete;

    // The languages the preferences window offers, in its order.
    static const std::vector<SupportedLanguage>& supportedLanguages();

    void setupSpeechRecognizer();
    void remakeRecognizer();
    void refreshAuthorizationStatus();
    // `completion` runs on main with true when permission was granted.
    void requestAuthorization(std::function<void(bool)> completion);
    // What the platform says now (the controller's startup and switch read it directly).
    AuthorizationStatus platformAuthorizationStatus() const { return services_.platform.authorizationStatus(); }

    void startRecognition();
    void stopRecognition();
    // Stores the language; a running session restarts with it half a second later.
    void setLanguage(const std::string& identifier);
    // Stores the choice and makes the recogniser anew; a running session restarts with it half
    // a second later.
    void setLanguageModel(LanguageModelChoice choice);
    LanguageModelChoice languageModel() const;
    // What the recogniser uses now; without a recogniser, the general model and why.
    LanguageModelStatus languageModelStatus() const;

    // The operator's vocabulary, as stored (entries that are not valid are left out).
    std::vector<VocabularyEntry> vocabulary() const;
    // Checks and adds an entry (an equal one is not added twice), stores the list and hands it
    // to the recogniser for its next utterance. The error for the operator, or empty; nothing is
    // stored on an error.
    std::string addVocabularyEntry(const std::string& text, const std::string& pronunciation = {});
    void removeVocabularyEntry(std::size_t index);
    std::string statusText() const;
    // missing: no model installed; broken: the recogniser made for it failed to load its model.
    ModelState modelState(const std::string& identifier) const;
    static std::string languageName(const std::string& identifier);  // the identifier when unknown

    // Messages go out only while the sink is alive.
    void setHttpServer(std::weak_ptr<TranscriptionSink> server) { httpServer_ = std::move(server); }

    // audio::SpeechFeed. Thread: audio.
    bool isRecognizing() const override { return isRecognizing_.load(); }
    void append(const audio::AudioBuffer& buffer) override;

    bool hasRecognizer() const { return speechRecognizer_ != nullptr; }
    AuthorizationStatus authorizationStatus() const { return authorizationStatus_; }
    const std::string& currentTranscription() const { return currentTranscription_; }
    const std::string& lastFinalTranscription() const { return lastFinalTranscription_; }
    bool speechEnabled() const;

    // Set by the controller; called on main for every update (the refined final included).
    void setOnTranscriptionUpdate(std::function<void(const std::string& text, bool isFinal)> callback) {
        onTranscriptionUpdate_ = std::move(callback);
    }
    // Called on main after each status refresh and each permission answer.
    void setOnAuthorizationStatusChanged(std::function<void(AuthorizationStatus status)> callback) {
        onAuthorizationStatusChanged_ = std::move(callback);
    }

private:
    explicit SpeechRecognitionManager(Services services);

    void handleRecognitionResult(const std::optional<RecognitionResult>& result, const std::optional<std::string>& error);
    void applyRecognitionUpdate(const std::string& text, bool isFinal);
    void punctuationRefined(const std::string& corrected, const std::string& refined);
    void sendTranscription(const std::string& text, bool isFinal);
    void setRequest(std::shared_ptr<RecognitionRequest> request);
    void storeVocabulary(const std::vector<VocabularyEntry>& entries);
    void postStatusChanged();

    Services services_;
    std::unique_ptr<SpeechRecognizer> speechRecognizer_;
    std::string recognizerLocale_;
    // Replaced on main while the tap thread appends: the lock is held only to copy or swap the
    // pointer, and the tap thread appends through its own strong copy.
    mutable std::mutex requestMutex_;
    std::shared_ptr<RecognitionRequest> recognitionRequest_;
    std::shared_ptr<RecognitionTask> recognitionTask_;
    std::atomic<bool> isRecognizing_{false};
    AuthorizationStatus authorizationStatus_ = AuthorizationStatus::notDetermined;
    std::string currentTranscription_;
    std::string lastFinalTranscription_;
    std::weak_ptr<TranscriptionSink> httpServer_;
    std::function<void(const std::string&, bool)> onTranscriptionUpdate_;
    std::function<void(AuthorizationStatus)> onAuthorizationStatusChanged_;
};

}  // namespace lumeno::speech
