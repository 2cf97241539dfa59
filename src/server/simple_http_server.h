#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/audio_format.h"
#include "core/bytes.h"
#include "core/log.h"
#include "core/main_queue.h"
#include "core/notification_center.h"
#include "server/connection.h"
#include "server/mp3_stream.h"
#include "server/listener_count.h"
#include "server/opus_stream.h"

namespace lumeno::server {

// Answers the page and logo routes; the listener page builder implements it. Called on the
// server thread with the connection to answer.
class PageResponder {
public:
    virtual ~PageResponder() = default;
    virtual void sendListenerPage(const std::shared_ptr<Connection>& connection) = 0;
    virtual void sendLogo(const std::shared_ptr<Connection>& connection) = 0;
    // The page's fallback Opus decoder, for browsers without one of their own.
    virtual void sendDecoderScript(const std::shared_ptr<Connection>& connection) = 0;
};

// The listener server: a minimal HTTP/1.1 server that reads one request head per connection,
// routes it by its request line, keeps the audio and event-stream connection lists, fans audio
// chunks out to every listener and publishes the number of distinct listening hosts as
// "listenerCountChanged".
//
// Thread: construction, start, stop and the cleanup timers on main; sendAudioData on the audio
// thread; broadcastTranscription from any. The io thread ("http.server") alone owns every
// connection, both lists and the count: the other threads only post work to it.
class SimpleHTTPServer : public std::enable_shared_from_this<SimpleHTTPServer> {
public:
    struct Services {
        core::MainQueue& mainQueue;
        core::NotificationCenter& notifications;
        core::Logger& log;
    };
    struct Options {
        // "0.0.0.0" and "::" both mean every local address, IPv4 and IPv6 alike.
        std::string bindAddress = "0.0.0.0";  // tests and benchmarks bind 127.0.0.1
        // An audio listener that takes nothing for this long (counting what waits in kernel
        // buffers) is cut off; caption streams may queue this many seconds of audio's worth of
        // bytes. A one-shot response (page, logo) that makes no progress for as long is cut off too.
        double maxQueuedSeconds = 4.0;
        // An audio listener further behind than this, in audio time, loses its oldest queued
        // audio: late sound is no help to a lip-reader, and it bounds the server's memory.
        double maxBehindSeconds = 1.0;
        // A connection that has not sent a whole request head by then is closed.
        std::chrono::milliseconds requestTimeout{10000};
        // New connections beyond these are closed at once; connections already open are never
        // the ones cut. A venue's phones may all share one NAT address, each holding an audio
        // stream and an event stream, hence the generous per-address figure.
        std::size_t maxConnectionsPerHost = 768;
        std::size_t maxConnections = 4096;
        // The compressed stream's bitrate in bit/s; one the encoder refuses leaves Opus
        // requests on the raw stream.
        int opusBitrate = kDefaultOpusBitrate;
        // The MP3 stream's bitrate in bit/s (the nearest MPEG-1 rate); one the encoder refuses
        // makes /audio.mp3 answer 503.
        int mp3Bitrate = kDefaultMp3Bitrate;
        // Every per-chunk and per-status-poll line, for debugging; otherwise they are summed up
        // in one line each per second, so a service's journal stays readable.
        bool verbose = false;
    };

    // Creates the listener (port 0 picks a free port); failure is logged and leaves the server
    // without a listener, every other operation still working.
    static std::shared_ptr<SimpleHTTPServer> create(std::uint16_t port, std::optional<core::AudioFormat> format,
                                                    Services services, Options options);
    static std::shared_ptr<SimpleHTTPServer> create(std::uint16_t port, std::optional<core::AudioFormat> format,
                                                    Services services) {
        return create(port, format, services, Options{});
    }
    // Joins the io thread; when the last owner lets go on the io thread itself (a handler held
    // it), that thread frees the io_context once run() has returned.
    ~SimpleHTTPServer();
    SimpleHTTPServer(const SimpleHTTPServer&) = delete;
    SimpleHTTPServer& operator=(const SimpleHTTPServer&) = delete;

    void start();
    void stop();

    // The operator's streaming switch; with audio flowing it makes the status "streaming".
    void setStreaming(bool streaming) { isStreaming_.store(streaming); }
    bool isStreaming() const { return isStreaming_.load(); }
    // Whether capture delivers audio now; while it does not, the status says "waiting" and
    // listeners stay connected for its return.
    void setAudioFlowing(bool flowing) { audioFlowing_.store(flowing); }

    void updateAudioFormat(core::AudioFormat format);
    std::optional<core::AudioFormat> audioFormat() const;

    // Fans one chunk out to every ready audio connection without copying it per connection,
    // and hands it to the Opus and MP3 encoders while they have listeners.
    void sendAudioData(core::SharedBytes chunk);
    // Frames `message` as a server-sent event for every registered event stream.
    void broadcastTranscription(const std::string& message);

    // The last count the io thread published; callable from any thread.
    int uniqueListenerCount() const { return listenerCount_.load(); }
    // Posts that count as kListenerCountChanged on main, as every list change does.
    void publishListenerCount();

    // The bound port, or 0 without a listener.
    std::uint16_t port() const { return boundPort_; }
    bool hasListener() const { return hasListener_; }

    void setPageResponder(std::shared_ptr<PageResponder> responder);

    // Sends the exact 404 response and closes; also used by the logo route without a logo.
    void sendNotFound(const std::shared_ptr<Connection>& connection);

private:
    struct Impl;
    struct PendingRequest;
    SimpleHTTPServer(Services services, Options options, std::optional<core::AudioFormat> format);

    // Everything below runs on the io thread.
    void acceptNext();
    void acceptFailed(std::error_code error);
    void handleNewConnection(std::shared_ptr<Connection> connection);
    void readRequest(const std::shared_ptr<PendingRequest>& request);
    void handleRequest(const std::shared_ptr<Connection>& connection, const std::string& head);
    void sendStatusResponse(const std::shared_ptr<Connection>& connection);
    void startAudioStream(const std::shared_ptr<Connection>& connection);
    void startOpusStream(const std::shared_ptr<Connection>& connection);
    void startMp3Stream(const std::shared_ptr<Connection>& connection);
    void stopEncodersWhenIdle();
    void startTranscriptionStream(const std::shared_ptr<Connection>& connection);
    void scheduleKeepAlive(const std::shared_ptr<Connection>& connection);
    void connectionClosed(const std::shared_ptr<Connection>& connection, const std::string& host);
    void cleanupDeadConnections();
    void cleanupDeadTranscriptionConnections();
    void updateListenerCount();
    void scheduleTrafficSummary();
    void logTrafficSummary();
    void post(std::function<void()> task);
    std::size_t maxQueuedBytes() const;
    BacklogPolicy audioBacklogPolicy(double bytesPerSecond, const std::string& host);
    void sendAudioHead(const std::shared_ptr<Connection>& connection, const std::string& head);
    std::shared_ptr<PageResponder> pageResponder();
    void respondFromPage(const std::shared_ptr<Connection>& connection,
                         void (PageResponder::*respond)(const std::shared_ptr<Connection>&));

    Services services_;
    Options options_;
    std::unique_ptr<Impl> impl_;
    std::uint16_t boundPort_ = 0;
    bool hasListener_ = false;

    mutable std::mutex formatLock_;
    std::optional<core::AudioFormat> audioFormat_;
    std::atomic<bool> isStreaming_{false};
    std::atomic<bool> audioFlowing_{true};
    std::atomic<int> listenerCount_{0};

    std::mutex responderLock_;
    std::shared_ptr<PageResponder> pageResponder_;

    core::TimerHandle cleanupTimer_;
    core::TimerHandle transcriptionCleanupTimer_;
    std::atomic<bool> stopped_{false};
    std::thread ioThread_;
};

}  // namespace lumeno::server
