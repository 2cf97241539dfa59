#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audio/audio_buffer.h"
#include "speech/vocabulary.h"

namespace lumeno::speech {

// The platform's speech permission. The numbers are the stored and logged values.
enum class AuthorizationStatus : int { notDetermined = 0, denied = 1, restricted = 2, authorized = 3 };

struct RecognitionResult {
    std::string text;  // best transcription, as the recogniser formats it
    bool isFinal = false;
};

enum class TaskHint { unspecified = 0, dictation = 1, search = 2, confirmation = 3 };

// What the session asks of a request; a back-end honours the options it has.
struct RequestOptions {
    bool shouldReportPartialResults = true;
    bool requiresOnDeviceRecognition = true;
    bool addsPunctuation = true;
    TaskHint taskHint = TaskHint::dictation;
};

// The live audio of one recognition. append is called from the tap thread, buffer by buffer: it
// must not block, must not grow without bound, and must copy what it keeps (the buffer is only
// valid during the call). Thread: audio for append; made on main.
class RecognitionRequest {
public:
    virtual ~RecognitionRequest() = default;
    virtual void append(const audio::AudioBuffer& buffer) = 0;
};

// A running recognition. After cancel() returns, its handler is not called again.
// Thread: main.
class RecognitionTask {
public:
    virtual ~RecognitionTask() = default;
    virtual void cancel() = 0;
};

// Called on the recogniser's own thread, once per partial or final result, and once per error
// (with the error's description and no result).
using ResultHandler = std::function<void(std::optional<RecognitionResult> result, std::optional<std::string> error)>;

// Which language model a recogniser uses: the church model (the language's own model with
// Bible, sermon and scripture-reference text mixed in) or the language's own alone.
enum class LanguageModelChoice { church, general };

struct RecognizerSettings {
    LanguageModelChoice languageModel = LanguageModelChoice::church;
    std::vector<VocabularyEntry> vocabulary;
};

// The language model a recogniser uses, and why it is not the chosen one when it is not.
struct LanguageModelStatus {
    LanguageModelChoice inUse = LanguageModelChoice::general;
    std::string problem;
};

// A recogniser for one locale. Thread: main.
class SpeechRecognizer {
public:
    virtual ~SpeechRecognizer() = default;
    virtual bool isAvailable() const = 0;
    // Takes effect at the next utterance, without a restart.
    virtual void setVocabulary(std::vector<VocabularyEntry> vocabulary) = 0;
    virtual LanguageModelStatus languageModelStatus() const = 0;
    // Called, on any thread, when the status above or the availability changed (a model that
    // failed to load is found out only when the first task starts).
    virtual void setOnStatusChanged(std::function<void()> changed) = 0;
    // Null when no request can be made.
    virtual std::shared_ptr<RecognitionRequest> makeRequest(const RequestOptions& options) = 0;
    virtual std::shared_ptr<RecognitionTask> startTask(std::shared_ptr<RecognitionRequest> request,
                                                       ResultHandler handler) = 0;
};

// The platform's speech service: recognisers by locale and the permission. Thread: main, except
// that requestAuthorization may answer on any thread.
class SpeechPlatform {
public:
    virtual ~SpeechPlatform() = default;
    // Null when the platform has no recogniser for `localeIdentifier` ("en-US").
    virtual std::unique_ptr<SpeechRecognizer> makeRecognizer(const std::string& localeIdentifier,
                                                             const RecognizerSettings& settings) = 0;
    // Whether makeRecognizer would give one, without making it (a model may be large).
    virtual bool hasModel(const std::string& localeIdentifier) const = 0;
    virtual AuthorizationStatus authorizationStatus() const = 0;
    virtual void requestAuthorization(std::function<void(AuthorizationStatus)> answer) = 0;
};

}  // namespace lumeno::speech
