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
// uses, chosen with scripts/bench asr (church model, sermon, lecture and Debian's recordings):
// - wider beams than the decoder's own (1e-48, 7e-29) keep names and references alive: Bible
//   names 55 -> 64 %, references 73 -> 87 %, sermon WER 20.5 -> 18.9 %, for RTF 0.15 -> 0.25;
// - the flat second pass stays off: on the synthetic long-form sets it gains a point of WER, on
//   the real recordings it loses three (16.8 -> 19.8 %), and it costs another 0.03-0.05 RTF;
// - the best-path pass stays on (off: sermon 23.9 %, lecture 15.2 %);
// - the decoder's language weight and insertion penalty are best as they are (lw 5.5 or 8 and
//   wip 0.2 or 2 were each worse on some set and better on none), and so is the best-path pass's
//   (-bestpathlw 8.5 or 11, or lw 6 with 9: sermon 18.9 -> 19.3-19.7 %);
// - wider beams still (1e-80, word beam 1e-60) change no word of the sermon set, for RTF 0.44:
//   what is left is the models' error, not the search's;
// - the domain and vocabulary shares barely matter between 0.02 and 0.2, and between 0.0005 and
//   0.01; a domain share of 0.9 costs the lecture set three points (0.1: sermon 18.9 -> 19.7 %);
// - at most 8,000 active HMMs a frame (the decoder's own cap is 30,000) cuts RTF by a fifth to a
//   third with the long-form sets unchanged, but loses a word of Debian's recordings (16.8 ->
//   17.8 %); with lw 8 and -bestpathlw 11 on top, lecture gains two words and the sermon set
//   loses two (18.9 -> 19.3 %).
struct DecoderTuning {
    // Settings passed to the decoder as on its command line ("-beam", "1e-60").
    std::vector<std::pair<std::string, std::string>> settings = {
        {"-fwdflat", "no"}, {"-bestpath", "yes"}, {"-beam", "1e-60"}, {"-wbeam", "1e-40"},
        {"-pbeam", "1e-60"}, {"-lw", "6.5"},      {"-wip", "0.65"}};
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
