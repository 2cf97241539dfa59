#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sphinx/sphinx_models.h"

namespace lumeno::platform {

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
};

struct DecoderLoad {
    std::unique_ptr<SphinxDecoder> decoder;
    std::string error;  // why, when there is no decoder
};

// Loads PocketSphinx with the model (half a second or more: not for the main or audio thread).
DecoderLoad loadPocketSphinx(const ModelFiles& model);

}  // namespace lumeno::platform
