#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "core/log.h"
#include "platform/sphinx/sphinx_decoder.h"
#include "platform/sphinx/sphinx_models.h"
#include "speech/speech_recognizer.h"

namespace lumeno::platform {

// Offline recognition with PocketSphinx. There is no speech permission on Linux, so the status
// is always authorized. A locale has a recogniser when a model for it is installed.
// Thread: main.
class SphinxSpeechPlatform final : public speech::SpeechPlatform {
public:
    using DecoderLoader = std::function<DecoderLoad(const ModelFiles&)>;

    struct Options {
        std::vector<std::filesystem::path> modelRoots;  // see modelRoots()
        // Where the church language model and the letter-to-sound rules are (speechDataDirs()).
        std::vector<std::filesystem::path> speechDataDirs;
        DecoderLoader loadDecoder = [](const ModelFiles& model) { return loadPocketSphinx(model); };
        // Seconds of audio the hand-over holds before the oldest is dropped (at 48 kHz).
        double handoffSeconds = 10.0;
    };

    SphinxSpeechPlatform(core::Logger& log, Options options);

    // With the church model chosen for US English and not installed, the recogniser uses the
    // general model and says why in its status (and in one log line).
    std::unique_ptr<speech::SpeechRecognizer> makeRecognizer(const std::string& localeIdentifier,
                                                             const speech::RecognizerSettings& settings) override;
    bool hasModel(const std::string& localeIdentifier) const override {
        return findModel(options_.modelRoots, localeIdentifier).has_value();
    }
    speech::AuthorizationStatus authorizationStatus() const override { return speech::AuthorizationStatus::authorized; }
    void requestAuthorization(std::function<void(speech::AuthorizationStatus)> answer) override;

private:
    core::Logger& log_;
    Options options_;
};

class LetterToSound;

// The vocabulary as the decoder takes it: every entry's words, each with the dictionary's own
// pronunciation (left empty), the given one, or one made by `rules`. Words none can be made for
// are left out and listed in `unpronounced`.
std::vector<PronouncedEntry> pronounceVocabulary(const std::vector<speech::VocabularyEntry>& vocabulary,
                                                 SphinxDecoder& decoder, const LetterToSound* rules,
                                                 std::vector<std::string>& unpronounced);

}  // namespace lumeno::platform
