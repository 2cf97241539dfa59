#include "fakes/fake_recognizer.h"

namespace lumeno::testing {

namespace {

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

}  // namespace

std::unique_ptr<speech::SpeechRecognizer> FakeSpeechPlatform::makeRecognizer(const std::string& localeIdentifier,
                                                                           const speech::RecognizerSettings& settings) {
    recognizersMade.push_back(localeIdentifier);
    settingsMade.push_back(settings);
    if (!locales.contains(localeIdentifier)) return nullptr;
    return std::make_unique<FakeRecognizer>(*this);
}

}  // namespace lumeno::testing
