#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/sphinx/sphinx_models.h"

namespace lumeno::platform {

// One word of the operator's vocabulary as the decoder takes it: lower case, with its phones.
struct PronouncedWord {
    std::string word;
    std::string phones;  // "EH N K EH CH IY"; empty for a word the dictionary knows
};
// An entry is one or more words said together ("grace chapel").
using PronouncedEntry = std::vector<PronouncedWord>;

// The decoder calls the streaming logic needs, behind a seam so that tests can make them fail.
// Audio is 16 kHz mono signed 16-bit. Thread: one thread at a time.
class SphinxDecoder {
public:
    static constexpr double kSampleRate = 16000.0;

    virtual ~SphinxDecoder() = default;
    virtual bool startUtterance() = 0;
    virtual bool process(const std::int16_t* samples, std::size_t count) = 0;
    // The decoder's voice detection: whether the audio just processed holds speech.
    virtual bool inSpeech() = 0;
    virtual bool endUtterance() = 0;
    // The best hypothesis so far (after endUtterance: the final one); empty when there is none.
    virtual std::string hypothesis() = 0;
    // Whether the dictionary has the word (lower case).
    virtual bool knowsWord(const std::string& word) = 0;
    // Replaces the operator's vocabulary between utterances: words the dictionary lacks are
    // added and every entry is made likelier in the language model. An empty string when it
    // took effect, otherwise why not (the previous vocabulary then stays in force).
    virtual std::string setVocabulary(const std::vector<PronouncedEntry>& entries) = 0;
};

// How the decoder searches and weighs its language models; the defaults are what the service
// uses (chosen by scripts/bench asr, see bench/asr.cpp).
struct DecoderTuning {
    // Settings passed to the decoder as on its command line ("-beam", "1e-48").
    std::vector<std::pair<std::string, std::string>> settings = {
        {"-fwdflat", "no"}, {"-bestpath", "yes"}, {"-beam", "1e-48"}, {"-wbeam", "7e-29"},
        {"-pbeam", "1e-48"}, {"-lw", "6.5"}, {"-wip", "0.65"}};
    // Share of the domain model in the interpolation, and of the operator's vocabulary.
    double domainWeight = 0.05;
    double vocabularyWeight = 0.002;
};

struct DecoderLoad {
    std::unique_ptr<SphinxDecoder> decoder;
    std::string error;        // why, when there is no decoder
    std::string domainError;  // why the domain model was left out, when one was asked for
};

// Loads PocketSphinx with the model (half a second or more: not for the main or audio thread).
// A domain model that cannot be loaded is left out: the decoder runs on the language's own
// model and domainError says why.
DecoderLoad loadPocketSphinx(const ModelFiles& model, const DecoderTuning& tuning = {});

}  // namespace lumeno::platform
