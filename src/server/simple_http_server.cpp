#include "server/simple_http_server.h"

#include <algorithm>
#include <asio.hpp>
#include <set>

#include "server/asio_connection.h"
#include "server/http_text.h"

namespace lumeno::server {

using namespace std::chrono_literals;

namespace {
constexpr std::size_t kMaxRequestBytes = 8192;
constexpr auto kCleanupPeriod = 2000ms;
constexpr auto kKeepAlivePeriod = 15000ms;

bool isAlive(const Connection& c) {
    const auto state = c.state();
    return state == ConnectionState::ready || state == ConnectionState::preparing;
}
}  // namespace

struct SimpleHTTPServer::Impl {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
    std::optional<asio::ip::tcp::acceptor> acceptor;
};

SimpleHTTPServer::SimpleHTTPServer(Services services, Options options, std::optional<AudioFormat> format)
    : services_(services), options_(std::move(options)), impl_(std::make_unique<Impl>()), audioFormat_(format) {}

std::shared_ptr<SimpleHTTPServer> SimpleHTTPServer::create(std::uint16_t port, std::optional<AudioFormat> format,
                                                           Services services, Options options) {
    std::shared_ptr<SimpleHTTPServer> server(new SimpleHTTPServer(services, std::move(options), format));
    std::error_code ec;
    const auto address = asio::ip::make_address(server->options_.bindAddress, ec);
    if (ec) {
        services.log.print("Failed to create listener: ", ec.message());
        return server;
    }
    asio::ip::tcp::acceptor acceptor(server->impl_->io);
    const asio::ip::tcp::endpoint endpoint(address, port);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) {
        server->boundPort_ = acceptor.local_endpoint(ec).port();
        server->impl_->acceptor.emplace(std::move(acceptor));
        server->hasListener_ = true;
    } else {
        services.log.print("Failed to create listener: ", ec.message());
    }
    return server;
}

SimpleHTTPServer::~SimpleHTTPServer() {
    impl_->io.stop();
    if (ioThread_.joinable()) {
        if (ioThread_.get_id() == std::this_thread::get_id())
            ioThread_.detach();  // last owner released on the io thread itself; it exits with run()
        else
            ioThread_.join();
    }
}

void SimpleHTTPServer::start() {
    if (impl_->acceptor) {
        ioThread_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "http.server");
            impl_->io.run();
        });
        asio::post(impl_->io, [weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            self->services_.log.print("Server ready on port ", self->boundPort_);
            self->acceptNext();
        });
    }
    services_.mainQueue.async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->stopped_) return;
        self->cleanupTimer_ = self->services_.mainQueue.every(kCleanupPeriod, [weak] {
            if (auto s = weak.lock()) s->cleanupDeadConnections();
        });
        self->transcriptionCleanupTimer_ = self->services_.mainQueue.every(kCleanupPeriod, [weak] {
            if (auto s = weak.lock()) s->cleanupDeadTranscriptionConnections();
        });
    });
}

void SimpleHTTPServer::acceptNext() {
    impl_->acceptor->async_accept([weak = weak_from_this()](std::error_code ec, asio::ip::tcp::socket socket) {
        auto self = weak.lock();
        if (!self || self->stopped_) return;
        if (ec) {
            if (ec == asio::error::operation_aborted) return;
            // Running out of descriptors must not end the listener: log and keep accepting.
            self->services_.log.print("Accept error: ", ec.message());
        } else {
            self->handleNewConnection(std::make_shared<AsioConnection>(self->impl_->io, std::move(socket)));
        }
        self->acceptNext();
    });
}

void SimpleHTTPServer::handleNewConnection(std::shared_ptr<Connection> connection) {
    connection->setStateHandler(
        [weak = weak_from_this(), weakConnection = std::weak_ptr<Connection>(connection)](ConnectionState state) {
            if (state != ConnectionState::failed && state != ConnectionState::cancelled) return;
            auto self = weak.lock();
            auto c = weakConnection.lock();
            if (self && c) self->removeConnection(c);
        });
    readRequest(connection);
}

void SimpleHTTPServer::readRequest(const std::shared_ptr<Connection>& connection) {
    connection->receive(kMaxRequestBytes, [weak = weak_from_this(), connection](const std::vector<std::uint8_t>* data,
                                                                                 bool isComplete, std::error_code ec) {
        auto self = weak.lock();
        if (!self) return;
        if (ec) {
            self->services_.log.print("Receive error: ", ec.message());
            connection->cancel();
            return;
        }
        if (!data) {
            self->services_.log.print("No data received");
            return;
        }
        const std::string request = requestText(*data);
        self->handleRequest(connection, request);
        const Route route = routeFor(request);
        if (!isComplete && route != Route::transcription && route != Route::audio) self->readRequest(connection);
    });
}

void SimpleHTTPServer::handleRequest(const std::shared_ptr<Connection>& connection, const std::string& request) {
    services_.log.print("Received request: ", logSafePrefix(request, 100));
    switch (routeFor(request)) {
        case Route::page:
            services_.log.print("Serving listener page");
            if (auto responder = pageResponder())
                responder->sendListenerPage(connection);
            else
                sendNotFound(connection);
            break;
        case Route::logo:
            services_.log.print("Serving logo");
            if (auto responder = pageResponder())
                responder->sendLogo(connection);
            else
                sendNotFound(connection);
            break;
        case Route::status:
            services_.log.print("Serving status");
            sendStatusResponse(connection);
            break;
        case Route::transcription:
            services_.log.print("Starting transcription stream for connection");
            startTranscriptionStream(connection);
            break;
        case Route::audio:
            services_.log.print("Starting audio stream for connection");
            startAudioStream(connection);
            break;
        case Route::notFound:
            services_.log.print("Unknown request, sending 404");
            sendNotFound(connection);
            break;
    }
}

std::shared_ptr<PageResponder> SimpleHTTPServer::pageResponder() {
    std::lock_guard lock(responderLock_);
    return pageResponder_;
}

void SimpleHTTPServer::setPageResponder(std::shared_ptr<PageResponder> responder) {
    std::lock_guard lock(responderLock_);
    pageResponder_ = std::move(responder);
}

void SimpleHTTPServer::sendStatusResponse(const std::shared_ptr<Connection>& connection) {
    connection->send(makeBytes(statusResponse(isStreaming_.load())), [connection](std::error_code) { connection->cancel(); });
}

void SimpleHTTPServer::sendNotFound(const std::shared_ptr<Connection>& connection) {
    connection->send(makeBytes(kNotFoundResponse), [connection](std::error_code) { connection->cancel(); });
}

std::optional<AudioFormat> SimpleHTTPServer::audioFormat() const {
    std::lock_guard lock(formatLock_);
    return audioFormat_;
}

void SimpleHTTPServer::updateAudioFormat(AudioFormat format) {
    {
        std::lock_guard lock(formatLock_);
        audioFormat_ = format;
    }
    services_.log.print("HTTP Server: Audio format updated to ", core::formatDecimal(format.sampleRate), "Hz, ",
                        format.channelCount, " channels");
}

std::size_t SimpleHTTPServer::maxQueuedBytes() const {
    const AudioFormat format = audioFormat().value_or(AudioFormat{});
    const double bytesPerSecond = format.sampleRate * format.channelCount * 2.0;
    // At least two capture buffers, so one late wake-up never cuts a healthy listener off.
    return std::max<std::size_t>(static_cast<std::size_t>(bytesPerSecond * options_.maxQueuedSeconds), 2 * 4096 * 2 * 2);
}

void SimpleHTTPServer::startAudioStream(const std::shared_ptr<Connection>& connection) {
    const auto format = audioFormat();
    const double rate = format ? format->sampleRate : 44100.0;
    const std::uint32_t channels = format ? format->channelCount : 1;
    const std::string host = connection->remoteHost();
    connection->setSendLimit(maxQueuedBytes(), [weak = weak_from_this(), host](std::size_t queued) {
        if (auto self = weak.lock())
            self->services_.log.print("Disconnecting audio listener ", host, ": it fell behind with ", queued,
                                      " bytes unsent");
    });
    {
        std::lock_guard lock(connectionsLock_);
        // Issued before the connection becomes visible to sendAudioData, so the head precedes audio.
        connection->send(makeBytes(audioStreamHead(rate, channels)), [weak = weak_from_this()](std::error_code ec) {
            auto self = weak.lock();
            if (!self) return;
            if (ec)
                self->services_.log.print("Error sending audio response: ", ec.message());
            else
                self->services_.log.print("Audio stream started successfully");
        });
        connections_.push_back(connection);
    }
    services_.log.print("Added audio connection");
    updateListenerCount();
    connection->watchForClose();
}

void SimpleHTTPServer::sendAudioData(Chunk chunk) {
    std::vector<std::shared_ptr<Connection>> copy;
    {
        std::lock_guard lock(connectionsLock_);
        copy = connections_;
    }
    if (copy.empty() || !chunk || chunk->empty()) return;
    services_.log.print("Broadcasting ", chunk->size(), " bytes to ", copy.size(), " connections");
    // Raw pointers into `copy`, which the io task keeps alive: no reference counting per listener.
    std::vector<AsioConnection*> ready;
    ready.reserve(copy.size());
    for (const auto& connection : copy) {
        const auto state = connection->state();
        if (state == ConnectionState::ready)
            ready.push_back(static_cast<AsioConnection*>(connection.get()));
        else
            services_.log.print("Connection not ready: ", describe(state));
    }
    services_.log.print("Sent to ", ready.size(), "/", copy.size(), " connections");
    if (ready.empty()) return;
    // One hop to the io thread per chunk, not per listener; every send shares the same buffer.
    asio::post(impl_->io, [copy = std::move(copy), ready = std::move(ready), chunk = std::move(chunk)] {
        for (AsioConnection* connection : ready) connection->sendOnIoThread(chunk, {});
    });
}

void SimpleHTTPServer::startTranscriptionStream(const std::shared_ptr<Connection>& connection) {
    connection->send(makeBytes(kEventStreamHead), [weak = weak_from_this(), connection](std::error_code ec) {
        auto self = weak.lock();
        if (!self) return;
        if (ec) {
            self->services_.log.print("🎤 Error sending transcription stream headers: ", ec.message());
            return;
        }
        std::size_t count = 0;
        {
            std::lock_guard lock(self->transcriptionConnectionsLock_);
            self->transcriptionConnections_.push_back(connection);
            count = self->transcriptionConnections_.size();
        }
        self->services_.log.print("🎤 Added transcription connection, count: ", count);
        self->updateListenerCount();
        connection->send(makeBytes(kKeepAlive));
        self->scheduleKeepAlive(connection);
    });
    connection->watchForClose();
}

void SimpleHTTPServer::scheduleKeepAlive(const std::shared_ptr<Connection>& connection) {
    // The delay runs on the main queue's clock (virtual in tests); the check itself on the io thread.
    services_.mainQueue.asyncAfter(kKeepAlivePeriod, [weak = weak_from_this(), weakConnection = std::weak_ptr<Connection>(connection)] {
        auto self = weak.lock();
        if (!self || self->stopped_) return;
        asio::post(self->impl_->io, [weak, weakConnection] {
            auto server = weak.lock();
            auto stream = weakConnection.lock();
            if (!server || !stream) return;
            bool registered = false;
            {
                std::lock_guard lock(server->transcriptionConnectionsLock_);
                const auto& list = server->transcriptionConnections_;
                registered = std::find(list.begin(), list.end(), stream) != list.end();
            }
            if (!registered || stream->state() != ConnectionState::ready) return;
            stream->send(makeBytes(kKeepAlive));
            server->scheduleKeepAlive(stream);
        });
    });
}

void SimpleHTTPServer::broadcastTranscription(const std::string& message) {
    std::vector<std::shared_ptr<Connection>> copy;
    {
        std::lock_guard lock(transcriptionConnectionsLock_);
        copy = transcriptionConnections_;
    }
    if (copy.empty()) return;
    const auto event = makeBytes(eventFrame(message));
    services_.log.print("🎤 Broadcasting transcription to ", copy.size(), " clients");
    for (const auto& connection : copy)
        if (connection->state() == ConnectionState::ready) connection->send(event);
}

void SimpleHTTPServer::removeConnection(const std::shared_ptr<Connection>& connection) {
    std::size_t before = 0, after = 0;
    {
        std::lock_guard lock(connectionsLock_);
        before = connections_.size();
        std::erase(connections_, connection);
        after = connections_.size();
    }
    if (before == after) return;
    updateListenerCount();
    services_.log.print("Removed audio connection immediately, count: ", after);
}

namespace {
// Keeps the live connections in order and cancels the rest; returns {before, after}.
std::pair<std::size_t, std::size_t> prune(std::vector<std::shared_ptr<Connection>>& list) {
    const std::size_t before = list.size();
    std::vector<std::shared_ptr<Connection>> alive;
    alive.reserve(list.size());
    for (auto& connection : list) {
        if (isAlive(*connection))
            alive.push_back(std::move(connection));
        else
            connection->cancel();
    }
    list = std::move(alive);
    return {before, list.size()};
}
}  // namespace

void SimpleHTTPServer::cleanupDeadConnections() {
    std::pair<std::size_t, std::size_t> counts;
    {
        std::lock_guard lock(connectionsLock_);
        counts = prune(connections_);
    }
    if (counts.first != counts.second) updateListenerCount();
}

void SimpleHTTPServer::cleanupDeadTranscriptionConnections() {
    std::pair<std::size_t, std::size_t> counts;
    {
        std::lock_guard lock(transcriptionConnectionsLock_);
        counts = prune(transcriptionConnections_);
    }
    if (counts.first == counts.second) return;
    services_.log.print("🎤 Cleaned up dead transcription connections: ", counts.first, " -> ", counts.second);
    updateListenerCount();
}

int SimpleHTTPServer::uniqueListenerCount() const {
    std::vector<std::shared_ptr<Connection>> audio, transcription;
    {
        std::lock_guard lock(connectionsLock_);
        audio = connections_;
    }
    {
        std::lock_guard lock(transcriptionConnectionsLock_);
        transcription = transcriptionConnections_;
    }
    std::set<std::string> hosts;
    for (const auto* list : {&audio, &transcription})
        for (const auto& connection : *list)
            if (!connection->remoteHost().empty()) hosts.insert(connection->remoteHost());
    return static_cast<int>(hosts.size());
}

void SimpleHTTPServer::updateListenerCount() {
    const std::int64_t count = uniqueListenerCount();
    auto& notifications = services_.notifications;
    services_.mainQueue.async([&notifications, count] { notifications.post(kListenerCountChanged, {{"count", count}}); });
}

void SimpleHTTPServer::stop() {
    stopped_ = true;
    cleanupTimer_.cancel();
    cleanupTimer_ = {};
    transcriptionCleanupTimer_.cancel();
    transcriptionCleanupTimer_ = {};
    if (impl_->acceptor) {
        asio::post(impl_->io, [this] {
            std::error_code ec;
            impl_->acceptor->close(ec);
        });
    }
    std::vector<std::shared_ptr<Connection>> audio, transcription;
    {
        std::lock_guard lock(connectionsLock_);
        audio.swap(connections_);
    }
    {
        std::lock_guard lock(transcriptionConnectionsLock_);
        transcription.swap(transcriptionConnections_);
    }
    for (auto& c : audio) c->cancel();
    for (auto& c : transcription) c->cancel();
    updateListenerCount();
    // Let the closes run, then end the io thread: nothing is served after stop.
    impl_->work.reset();
    asio::post(impl_->io, [this] { impl_->io.stop(); });
    if (ioThread_.joinable() && ioThread_.get_id() != std::this_thread::get_id()) ioThread_.join();
}

}  // namespace lumeno::server
