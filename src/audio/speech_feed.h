#pragma once

#include "audio/audio_buffer.h"

namespace lumeno::audio {

// Where the capture path appends audio for live transcription; the speech session implements it.
// Thread: audio (both calls come from the tap thread, buffer by buffer).
class SpeechFeed {
public:
    virtual ~SpeechFeed() = default;
    virtual bool isRecognizing() const = 0;
    // The buffer is only valid during the call.
    virtual void append(const AudioBuffer& buffer) = 0;
};

}  // namespace lumeno::audio
