#pragma once

#include <memory>

#include "app/listener_server.h"
#include "server/simple_http_server.h"
#include "server/transcription_message.h"

namespace lumeno::app {

// The controller's view of the real HTTP server. The server itself stays reachable for the parts
// that talk to it directly (the speech session broadcasts transcriptions through it).
class HttpListenerServer final : public ListenerServer,
                                 public speech::TranscriptionSink,
                                 public std::enable_shared_from_this<HttpListenerServer> {
public:
    explicit HttpListenerServer(std::shared_ptr<server::SimpleHTTPServer> server) : server_(std::move(server)) {}

    void start() override { server_->start(); }
    void stop() override { server_->stop(); }
    void setStreaming(bool streaming) override { server_->setStreaming(streaming); }
    void setAudioFlowing(bool flowing) override { server_->setAudioFlowing(flowing); }
    void updateAudioFormat(core::AudioFormat format) override { server_->updateAudioFormat(format); }
    void sendAudioData(core::SharedBytes chunk) override { server_->sendAudioData(std::move(chunk)); }
    int uniqueListenerCount() const override { return server_->uniqueListenerCount(); }
    void publishListenerCount() override { server_->publishListenerCount(); }
    std::weak_ptr<speech::TranscriptionSink> transcriptionServer() override { return weak_from_this(); }
    void broadcastTranscription(const speech::Transcription& caption) override {
        server_->broadcastTranscription(server::makeTranscriptionMessage(caption.text, caption.isFinal,
                                                                         server::secondsSince1970(), caption.language));
    }

    const std::shared_ptr<server::SimpleHTTPServer>& httpServer() const { return server_; }

private:
    std::shared_ptr<server::SimpleHTTPServer> server_;
};

}  // namespace lumeno::app
