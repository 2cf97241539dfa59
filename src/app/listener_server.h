#pragma once

#include <memory>

#include "server/simple_http_server.h"

#include "audio/buffer_processing.h"
#include "server/audio_format.h"

namespace lumeno::app {

// What the controller needs of the listener server: the HTTP server in the app, a recording
// fake in tests. Thread: start, stop, setStreaming and updateAudioFormat on main;
// sendAudioData on the audio thread; uniqueListenerCount on a background thread.
class ListenerServer {
public:
    virtual ~ListenerServer() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void setStreaming(bool streaming) = 0;
    virtual void updateAudioFormat(server::AudioFormat format) = 0;
    virtual void sendAudioData(audio::WireChunk chunk) = 0;
    virtual int uniqueListenerCount() const = 0;
    // The HTTP server behind it, for the speech session's captions; none in tests.
    virtual std::weak_ptr<server::SimpleHTTPServer> transcriptionServer() const { return {}; }
};

}  // namespace lumeno::app
