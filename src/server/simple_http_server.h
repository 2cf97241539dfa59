#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/main_queue.h"
#include "core/notification_center.h"
#include "server/audio_format.h"
#include "server/connection.h"

namespace asio {
class io_context;
}

namespace lumeno::server {

inline constexpr const char* kListenerCountChanged = "listenerCountChanged";

// One audio chunk in the wire format, shared by every connection it is sent to.
using Chunk = std::shared_ptr<const std::vector<std::uint8_t>>;

// Answers the page and logo routes; the listener page builder implements it. Called on the
// server thread with the connection to answer.
class PageResponder {
public:
    virtual ~PageResponder() = default;
    virtual void sendListenerPage(const std::shared_ptr<Connection>& connection) = 0;
    virtual void sendLogo(const std::shared_ptr<Connection>& connection) = 0;
};

// The listener server: a minimal HTTP/1.1 server that routes one request chunk per connection by
// substring, keeps the audio and event-stream connection lists, fans audio chunks out to every
// listener and publishes the number of distinct listening hosts as "listenerCountChanged".
//
// Thread: construction, start, stop and the cleanup timers on main; routing, connection callbacks
// and sends on the server's own io thread ("http.server"); sendAudioData on the audio thread.
class SimpleHTTPServer : public std::enable_shared_from_this<SimpleHTTPServer> {
public:
    struct Services {
        core::MainQueue& mainQueue;
        core::NotificationCenter& notifications;
        core::Logger& log;
    };
    struct Options {
        std::string bindAddress = "0.0.0.0";  // tests and benchmarks bind 127.0.0.1
        // Unsent bytes a listener may have queued, in seconds of the announced format, before it
        // is cut off: a stalled phone must never grow the server's memory.
        double maxQueuedSeconds = 4.0;
    };

    // Creates the listener (port 0 picks a free port); failure is logged and leaves the server
    // without a listener, every other operation still working.
    static std::shared_ptr<SimpleHTTPServer> create(std::uint16_t port, std::optional<AudioFormat> format,
                                                    Services services, Options options);
    static std::shared_ptr<SimpleHTTPServer> create(std::uint16_t port, std::optional<AudioFormat> format,
                                                    Services services) {
        return create(port, format, services, Options{});
    }
    ~SimpleHTTPServer();
    SimpleHTTPServer(const SimpleHTTPServer&) = delete;
    SimpleHTTPServer& operator=(const SimpleHTTPServer&) = delete;

    void start();
    void stop();

    // Drives the status document only.
    void setStreaming(bool streaming) { isStreaming_.store(streaming); }
    bool isStreaming() const { return isStreaming_.load(); }

    void updateAudioFormat(AudioFormat format);
    std::optional<AudioFormat> audioFormat() const;

    // Fans one chunk out to every ready audio connection without copying it per connection.
    void sendAudioData(Chunk chunk);
    // Frames `message` as a server-sent event for every registered event stream.
    void broadcastTranscription(const std::string& message);

    void updateListenerCount();
    int uniqueListenerCount() const;

    // The bound port, or 0 without a listener.
    std::uint16_t port() const { return boundPort_; }
    bool hasListener() const { return hasListener_; }

    void setPageResponder(std::shared_ptr<PageResponder> responder);

    // Sends the exact 404 response and closes; also used by the logo route without a logo.
    void sendNotFound(const std::shared_ptr<Connection>& connection);

private:
    struct Impl;
    SimpleHTTPServer(Services services, Options options, std::optional<AudioFormat> format);

    void acceptNext();
    void handleNewConnection(std::shared_ptr<Connection> connection);
    void readRequest(const std::shared_ptr<Connection>& connection);
    void handleRequest(const std::shared_ptr<Connection>& connection, const std::string& request);
    void sendStatusResponse(const std::shared_ptr<Connection>& connection);
    void startAudioStream(const std::shared_ptr<Connection>& connection);
    void startTranscriptionStream(const std::shared_ptr<Connection>& connection);
    void scheduleKeepAlive(const std::shared_ptr<Connection>& connection);
    void removeConnection(const std::shared_ptr<Connection>& connection);
    void cleanupDeadConnections();
    void cleanupDeadTranscriptionConnections();
    std::size_t maxQueuedBytes() const;
    std::shared_ptr<PageResponder> pageResponder();

    Services services_;
    Options options_;
    std::unique_ptr<Impl> impl_;
    std::uint16_t boundPort_ = 0;
    bool hasListener_ = false;

    mutable std::mutex connectionsLock_;
    std::vector<std::shared_ptr<Connection>> connections_;
    mutable std::mutex transcriptionConnectionsLock_;
    std::vector<std::shared_ptr<Connection>> transcriptionConnections_;

    mutable std::mutex formatLock_;
    std::optional<AudioFormat> audioFormat_;
    std::atomic<bool> isStreaming_{false};

    std::mutex responderLock_;
    std::shared_ptr<PageResponder> pageResponder_;

    core::TimerHandle cleanupTimer_;
    core::TimerHandle transcriptionCleanupTimer_;
    std::atomic<bool> stopped_{false};
    std::thread ioThread_;
};

}  // namespace lumeno::server
