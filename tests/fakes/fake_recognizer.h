#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "speech/speech_recognizer.h"

namespace lumeno::testing {

// Counts the audio appended to one request. Thread: any.
class FakeRequest final : public speech::RecognitionRequest {
public:
    void append(const audio::AudioBuffer& buffer) override { frames += buffer.frameLength; }
    std::atomic<std::uint64_t> frames{0};
};

// One started task; the test plays the recogniser by delivering results or errors on its own
// thread, which stands in for the recogniser's.
class FakeTask final : public speech::RecognitionTask {
public:
    FakeTask(std::shared_ptr<FakeRequest> fed, speech::ResultHandler handler)
        : request(std::move(fed)), handler_(std::move(handler)) {}

    void cancel() override { cancelled = true; }

    // Dropped once cancelled, as the real back-end guarantees.
    void deliver(const std::string& text, bool isFinal) {
        if (!cancelled) handler_(speech::RecognitionResult{text, isFinal}, std::nullopt);
    }
    void fail(const std::string& error) {
        if (!cancelled) handler_(std::nullopt, error);
    }

    std::shared_ptr<FakeRequest> request;
    std::atomic<bool> cancelled{false};

private:
    speech::ResultHandler handler_;
};

// The speech platform as a test sets it up: which locales have a recogniser, whether it is
// available, whether requests can be made and the permission, which a request is answered with
// at once, as the Linux back-end does. Thread: the test thread.
class FakeSpeechPlatform final : public speech::SpeechPlatform {
public:
    std::unique_ptr<speech::SpeechRecognizer> makeRecognizer(const std::string& localeIdentifier,
                                                             const speech::RecognizerSettings& settings) override;
    bool hasModel(const std::string& localeIdentifier) const override { return locales.contains(localeIdentifier); }
    speech::AuthorizationStatus authorizationStatus() const override { return status; }
    void requestAuthorization(std::function<void(speech::AuthorizationStatus)> answer) override {
        if (answer) answer(status);
    }

    std::shared_ptr<FakeTask> lastTask() const { return tasks.empty() ? nullptr : tasks.back(); }

    std::set<std::string> locales{"en-US"};
    bool available = true;
    bool failRequests = false;
    speech::AuthorizationStatus status = speech::AuthorizationStatus::authorized;

    speech::LanguageModelStatus languageModelStatus;

    std::vector<std::string> recognizersMade;  // locale of every recogniser made, in order
    std::vector<speech::RecognizerSettings> settingsMade;                // alongside
    std::vector<std::vector<speech::VocabularyEntry>> vocabularies;      // handed to any recogniser since
    std::vector<std::shared_ptr<FakeTask>> tasks;
    std::vector<speech::RequestOptions> requestOptions;
};

// A recogniser of the fake platform: it records what it is given there and starts FakeTasks.
class FakeRecognizer final : public speech::SpeechRecognizer {
public:
    explicit FakeRecognizer(FakeSpeechPlatform& platform) : platform_(platform) {}

    bool isAvailable() const override { return platform_.available; }
    void setVocabulary(std::vector<speech::VocabularyEntry> vocabulary) override {
        platform_.vocabularies.push_back(std::move(vocabulary));
    }
    speech::LanguageModelStatus languageModelStatus() const override { return platform_.languageModelStatus; }
    void setOnStatusChanged(std::function<void()>) override {}

    std::shared_ptr<speech::RecognitionRequest> makeRequest(const speech::RequestOptions& options) override {
        platform_.requestOptions.push_back(options);
        if (platform_.failRequests) return nullptr;
        return std::make_shared<FakeRequest>();
    }
    std::shared_ptr<speech::RecognitionTask> startTask(std::shared_ptr<speech::RecognitionRequest> request,
                                                       speech::ResultHandler handler) override {
        auto task = std::make_shared<FakeTask>(std::static_pointer_cast<FakeRequest>(std::move(request)),
                                               std::move(handler));
        platform_.tasks.push_back(task);
        return task;
    }

private:
    FakeSpeechPlatform& platform_;
};

inline std::unique_ptr<speech::SpeechRecognizer> FakeSpeechPlatform::makeRecognizer(
    const std::string& localeIdentifier, const speech::RecognizerSettings& settings) {
    recognizersMade.push_back(localeIdentifier);
    settingsMade.push_back(settings);
    if (!locales.contains(localeIdentifier)) return nullptr;
    return std::make_unique<FakeRecognizer>(*this);
}

}  // namespace lumeno::testing
