#pragma once

#include <memory>

#include "app/listener_server.h"
#include "server/simple_http_server.h"

namespace lumeno::app {

// The controller's view of the real HTTP server. The server itself stays reachable for the parts
// that talk to it directly (the speech session broadcasts transcriptions through it).
class HttpListenerServer final : public ListenerServer {
public:
    explicit HttpListenerServer(std::shared_ptr<server::SimpleHTTPServer> server) : server_(std::move(server)) {}

    void start() override { server_->start(); }
    void stop() override { server_->stop(); }
    void setStreaming(bool streaming) override { server_->setStreaming(streaming); }
    void updateAudioFormat(server::AudioFormat format) override { server_->updateAudioFormat(format); }
    void sendAudioData(audio::WireChunk chunk) override { server_->sendAudioData(std::move(chunk)); }
    int uniqueListenerCount() const override { return server_->uniqueListenerCount(); }
    std::weak_ptr<server::SimpleHTTPServer> transcriptionServer() const override { return server_; }

    const std::shared_ptr<server::SimpleHTTPServer>& httpServer() const { return server_; }

private:
    std::shared_ptr<server::SimpleHTTPServer> server_;
};

}  // namespace lumeno::app
