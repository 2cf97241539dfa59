#pragma once

#include <memory>

#include "audio/buffer_processing.h"
#include "core/audio_format.h"
#include "server/listener_count.h"
#include "speech/transcription_sink.h"

namespace lumeno::app {

// What the controller needs of the listener server: the HTTP server in the app, a recording
// fake in tests. Thread: start, stop, setStreaming and publishListenerCount on main;
// updateAudioFormat on the capture supervisor's worker (or main at startup); sendAudioData on
// the audio thread; uniqueListenerCount from any.
class ListenerServer {
public:
    virtual ~ListenerServer() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void setStreaming(bool streaming) = 0;
    // Whether capture delivers audio: while it does not, listeners are told to wait.
    virtual void setAudioFlowing(bool flowing) = 0;
    virtual void updateAudioFormat(core::AudioFormat format) = 0;
    virtual void sendAudioData(core::SharedBytes chunk) = 0;
    virtual int uniqueListenerCount() const = 0;
    // Posts the current count as server::kListenerCountChanged on main, as every list change does.
    virtual void publishListenerCount() = 0;
    // Where the speech session's captions go; none in tests.
    virtual std::weak_ptr<speech::TranscriptionSink> transcriptionServer() { return {}; }
};

}  // namespace lumeno::app
