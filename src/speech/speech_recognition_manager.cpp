#include "speech/speech_recognition_manager.h"

#include <algorithm>
#include <chrono>

#include "prefs/keys.h"

namespace lumeno::speech {

using namespace std::chrono_literals;

namespace {

constexpr auto kLanguageRestartDelay = 500ms;

}  // namespace

const std::vector<SupportedLanguage>& SpeechRecognitionManager::supportedLanguages() {
    static const std::vector<SupportedLanguage> languages = {
        {"en-US", "English (United States)"},
        {"en-GB", "English (United Kingdom)"},
        {"en-AU", "English (Australia)"},
        {"en-CA", "English (Canada)"},
        {"es-US", "Spanish (United States)"},
        {"es-ES", "Spanish (Spain)"},
        {"es-MX", "Spanish (Mexico)"},
        {"fr-FR", "French (France)"},
        {"fr-CA", "French (Canada)"},
        {"de-DE", "German (Germany)"},
        {"it-IT", "Italian (Italy)"},
        {"ja-JP", "Japanese (Japan)"},
        {"ko-KR", "Korean (Korea)"},
        {"zh-CN", "Chinese (Simplified, China)"},
        {"zh-TW", "Chinese (Traditional, Taiwan)"},
        {"zh-HK", "Chinese (Traditional, Hong Kong)"},
        {"pt-BR", "Portuguese (Brazil)"},
        {"pt-PT", "Portuguese (Portugal)"},
        {"ru-RU", "Russian (Russia)"},
        {"ar-SA", "Arabic (Saudi Arabia)"},
        {"nl-NL", "Dutch (Netherlands)"},
        {"sv-SE", "Swedish (Sweden)"},
        {"da-DK", "Danish (Denmark)"},
        {"fi-FI", "Finnish (Finland)"},
        {"no-NO", "Norwegian (Norway)"},
        {"pl-PL", "Polish (Poland)"},
        {"tr-TR", "Turkish (Turkey)"},
        {"th-TH", "Thai (Thailand)"},
        {"id-ID", "Indonesian (Indonesia)"},
        {"vi-VN", "Vietnamese (Vietnam)"},
        {"he-IL", "Hebrew (Israel)"},
        {"ro-RO", "Romanian (Romania)"},
        {"cs-CZ", "Czech (Czech Republic)"},
        {"sk-SK", "Slovak (Slovakia)"},
        {"uk-UA", "Ukrainian (Ukraine)"},
        {"hr-HR", "Croatian (Croatia)"},
        {"ca-ES", "Catalan (Spain)"},
        {"el-GR", "Greek (Greece)"},
        {"hu-HU", "Hungarian (Hungary)"},
        {"ms-MY", "Malay (Malaysia)"},
        {"hi-IN", "Hindi (India)"},
    };
    return languages;
}

std::shared_ptr<SpeechRecognitionManager> SpeechRecognitionManager::create(Services services) {
    std::shared_ptr<SpeechRecognitionManager> manager(new SpeechRecognitionManager(std::move(services)));
    manager->setupSpeechRecognizer();
    manager->refreshAuthorizationStatus();
    return manager;
}

SpeechRecognitionManager::SpeechRecognitionManager(Services services) : services_(std::move(services)) {}

SpeechRecognitionManager::~SpeechRecognitionManager() {
    if (recognitionTask_) recognitionTask_->cancel();
}

bool SpeechRecognitionManager::speechEnabled() const {
    return services_.preferences.defaults().boolForKey(prefs::key::kSpeechRecognitionEnabled);
}

void SpeechRecognitionManager::setupSpeechRecognizer() {
    const std::string locale = services_.preferences.speechLanguage();
    speechRecognizer_.reset();  // a back-end may hold one model at a time
    RecognizerSettings settings{languageModel(), {}};
    if (const auto stored = services_.preferences.defaults().stringForKey(prefs::key::kSpeechVocabulary)) {
        std::vector<std::string> problems;
        settings.vocabulary = parseVocabulary(*stored, &problems);
        for (const auto& problem : problems) services_.log.print("🎤 Vocabulary entry left out: ", problem);
    }
    speechRecognizer_ = services_.platform.makeRecognizer(locale, settings);
    if (speechRecognizer_) {
        // From the decoding thread: a model found broken only when it was loaded.
        speechRecognizer_->setOnStatusChanged([weak = weak_from_this(), &queue = services_.mainQueue] {
            queue.async([weak] {
                if (auto self = weak.lock()) self->postStatusChanged();
            });
        });
    }
    recognizerLocale_ = locale;
    postStatusChanged();
    services_.log.print("🎤 Speech recognizer initialized for locale: ", locale);
    services_.log.print("🎤 Available: ", speechRecognizer_ && speechRecognizer_->isAvailable() ? "true" : "false");
}

void SpeechRecognitionManager::refreshAuthorizationStatus() {
    authorizationStatus_ = services_.platform.authorizationStatus();
    services_.mainQueue.async(core::weakly(shared_from_this(), [status = authorizationStatus_](SpeechRecognitionManager& m) {
        if (m.onAuthorizationStatusChanged_) m.onAuthorizationStatusChanged_(status);
    }));
    postStatusChanged();
}

// Later on main, so an observer never runs inside the step that changed the state.
void SpeechRecognitionManager::postStatusChanged() {
    if (!services_.notifications) return;
    services_.mainQueue.async(core::weakly(shared_from_this(), [](SpeechRecognitionManager& m) {
        m.services_.notifications->post(kSpeechRecognitionStatusChanged);
    }));
}

void SpeechRecognitionManager::requestAuthorization(std::function<void(bool)> completion) {
    services_.platform.requestAuthorization(
        [weak = weak_from_this(), &queue = services_.mainQueue, completion = std::move(completion)](
            AuthorizationStatus status) {
            queue.async([weak, status, completion] {
                auto self = weak.lock();
                if (!self) return;
                self->authorizationStatus_ = status;
                self->postStatusChanged();
                if (self->onAuthorizationStatusChanged_) self->onAuthorizationStatusChanged_(status);
                if (completion) completion(status == AuthorizationStatus::authorized);
            });
        });
}

void SpeechRecognitionManager::startRecognition() {
    core::Logger& log = services_.log;
    if (!speechEnabled()) {
        log.line("🎤 Speech recognition is disabled");
        return;
    }
    if (authorizationStatus_ != AuthorizationStatus::authorized) {
        log.print("🎤 Speech recognition not authorized: ", static_cast<int>(authorizationStatus_));
        return;
    }
    if (!speechRecognizer_ || !speechRecognizer_->isAvailable()) {
        log.line("🎤 Speech recognizer not available");
        return;
    }
    if (recognitionTask_) {
        recognitionTask_->cancel();
        recognitionTask_.reset();
    }
    auto request = speechRecognizer_->makeRequest(RequestOptions{});
    if (!request) {
        log.line("🎤 Failed to create recognition request");
        return;
    }
    setRequest(request);
    recognitionTask_ = speechRecognizer_->startTask(
        std::move(request), [weak = weak_from_this()](std::optional<RecognitionResult> result,
                                                      std::optional<std::string> error) {
            if (auto self = weak.lock()) self->handleRecognitionResult(result, error);
        });
    isRecognizing_ = true;
    log.line("🎤 Speech recognition started");
    postStatusChanged();
}

void SpeechRecognitionManager::handleRecognitionResult(const std::optional<RecognitionResult>& result,
                                                       const std::optional<std::string>& error) {
    if (error) {
        services_.log.print("🎤 Recognition error: ", *error);
        postStatusChanged();  // a model that failed to load makes the recogniser unavailable
        return;
    }
    if (!result) return;
    std::string corrected = services_.corrections->applyCorrections(result->text);
    const bool isFinal = result->isFinal;
    // The punctuation pass starts on main after the unrefined update: started here, a quick pass
    // could overtake the update and listeners would keep the unrefined text.
    services_.mainQueue.async(core::weakly(shared_from_this(), [corrected, isFinal](SpeechRecognitionManager& m) {
        m.applyRecognitionUpdate(corrected, isFinal);
        if (!isFinal) return;
        m.services_.corrections->refinePunctuation(
            corrected, [weak = m.weak_from_this(), corrected](std::string refined) {
                if (auto self = weak.lock()) self->punctuationRefined(corrected, refined);
            });
    }));
    if (isFinal) {
        services_.log.print("🎤 Final transcription (original): ", result->text);
        services_.log.print("🎤 Final transcription (corrected): ", corrected);
    }
}

void SpeechRecognitionManager::applyRecognitionUpdate(const std::string& text, bool isFinal) {
    currentTranscription_ = text;
    if (isFinal) lastFinalTranscription_ = text;
    if (onTranscriptionUpdate_) onTranscriptionUpdate_(text, isFinal);
    sendTranscription(text, isFinal);
}

void SpeechRecognitionManager::punctuationRefined(const std::string& corrected, const std::string& refined) {
    if (refined == corrected) return;
    services_.log.print("🎤 Punctuation refined: '", corrected, "' → '", refined, "'");
    sendTranscription(refined, true);
    if (onTranscriptionUpdate_) onTranscriptionUpdate_(refined, true);
}

void SpeechRecognitionManager::sendTranscription(const std::string& text, bool isFinal) {
    if (auto server = httpServer_.lock()) server->broadcastTranscription({text, isFinal, services_.preferences.speechLanguage()});
}

void SpeechRecognitionManager::stopRecognition() {
    if (recognitionTask_) {
        recognitionTask_->cancel();
        recognitionTask_.reset();
    }
    setRequest(nullptr);
    isRecognizing_ = false;
    currentTranscription_.clear();
    services_.log.line("🎤 Speech recognition stopped");
    postStatusChanged();
}

void SpeechRecognitionManager::setLanguage(const std::string& identifier) {
    services_.preferences.defaults().setString(prefs::key::kSpeechRecognitionLanguage, identifier);
    remakeRecognizer();
}

// Made now even while idle: the next start would otherwise decode with the old model under the
// new choice's name. A running session stops and starts again with it shortly after.
void SpeechRecognitionManager::remakeRecognizer() {
    const bool wasRecognizing = isRecognizing_;
    if (wasRecognizing) stopRecognition();
    setupSpeechRecognizer();
    if (!wasRecognizing) return;
    services_.mainQueue.asyncAfter(kLanguageRestartDelay,
                                   core::weakly(shared_from_this(), [](SpeechRecognitionManager& m) { m.startRecognition(); }));
}

void SpeechRecognitionManager::setLanguageModel(LanguageModelChoice choice) {
    services_.preferences.defaults().setString(prefs::key::kSpeechLanguageModel,
                                               choice == LanguageModelChoice::general ? "general" : "church");
    remakeRecognizer();
}

LanguageModelChoice SpeechRecognitionManager::languageModel() const {
    return services_.preferences.defaults().stringForKey(prefs::key::kSpeechLanguageModel) == "general"
               ? LanguageModelChoice::general
               : LanguageModelChoice::church;
}

LanguageModelStatus SpeechRecognitionManager::languageModelStatus() const {
    if (!speechRecognizer_) return {LanguageModelChoice::general, "no speech model for this language"};
    return speechRecognizer_->languageModelStatus();
}

std::vector<VocabularyEntry> SpeechRecognitionManager::vocabulary() const {
    const auto stored = services_.preferences.defaults().stringForKey(prefs::key::kSpeechVocabulary);
    return stored ? parseVocabulary(*stored) : std::vector<VocabularyEntry>{};
}

std::string SpeechRecognitionManager::addVocabularyEntry(const std::string& text, const std::string& pronunciation) {
    const VocabularyCheck check = checkVocabularyEntry(text, pronunciation);
    if (!check.entry) return check.error;
    auto entries = vocabulary();
    if (std::find(entries.begin(), entries.end(), *check.entry) != entries.end()) return {};
    entries.push_back(*check.entry);
    storeVocabulary(entries);
    services_.log.print("📝 Added to the vocabulary: '", check.entry->text, "'");
    return {};
}

void SpeechRecognitionManager::removeVocabularyEntry(std::size_t index) {
    auto entries = vocabulary();
    if (index >= entries.size()) return;
    services_.log.print("📝 Removed from the vocabulary: '", entries[index].text, "'");
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(index));
    storeVocabulary(entries);
}

void SpeechRecognitionManager::storeVocabulary(const std::vector<VocabularyEntry>& entries) {
    services_.preferences.defaults().setString(prefs::key::kSpeechVocabulary,
                                               entries.empty() ? std::nullopt : std::optional(serializeVocabulary(entries)));
    if (speechRecognizer_) speechRecognizer_->setVocabulary(entries);
}

std::string SpeechRecognitionManager::statusText() const {
    if (!speechEnabled()) return "Disabled";
    switch (authorizationStatus_) {
        case AuthorizationStatus::notDetermined:
            return "Authorization needed";
        case AuthorizationStatus::denied:
            return "Access denied";
        case AuthorizationStatus::restricted:
            return "Restricted";
        case AuthorizationStatus::authorized:
            return isRecognizing_ ? "Recognizing" : "Ready";
    }
    return "Unknown status";
}

SpeechRecognitionManager::ModelState SpeechRecognitionManager::modelState(const std::string& identifier) const {
    if (!services_.platform.hasModel(identifier)) return ModelState::missing;
    if (speechRecognizer_ && recognizerLocale_ == identifier && !speechRecognizer_->isAvailable())
        return ModelState::broken;
    return ModelState::ready;
}

std::string SpeechRecognitionManager::languageName(const std::string& identifier) {
    for (const auto& language : supportedLanguages())
        if (identifier == language.identifier) return language.displayName;
    return identifier;
}

void SpeechRecognitionManager::append(const audio::AudioBuffer& buffer) {
    std::shared_ptr<RecognitionRequest> request;
    {
        std::lock_guard lock(requestMutex_);
        request = recognitionRequest_;
    }
    if (request) request->append(buffer);
}

void SpeechRecognitionManager::setRequest(std::shared_ptr<RecognitionRequest> request) {
    std::lock_guard lock(requestMutex_);
    recognitionRequest_.swap(request);
}  // the old request is released outside the lock

}  // namespace lumeno::speech
