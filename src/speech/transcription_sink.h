#pragma once

#include <string>

namespace lumeno::speech {

// One caption as the session hands it over; whoever receives it decides the wire form.
struct Transcription {
    std::string text;
    bool isFinal = false;
    std::string language;  // the stored recognition language, "en-US" style
};

// Where the session's captions go (the listener server's event streams). Thread: main.
class TranscriptionSink {
public:
    virtual ~TranscriptionSink() = default;
    virtual void broadcastTranscription(const Transcription& transcription) = 0;
};

}  // namespace lumeno::speech
