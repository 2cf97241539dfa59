#include "server/simple_http_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <cmath>
#include <map>
#include <unordered_map>

#include "server/asio_connection.h"
#include "server/http_text.h"

namespace lumeno::server {

using namespace std::chrono_literals;

namespace {
constexpr auto kCleanupPeriod = 2000ms;
constexpr auto kKeepAlivePeriod = 15000ms;
// How long accepting pauses after the process ran out of descriptors.
constexpr auto kAcceptBackOff = 200ms;
// Per-chunk and per-poll traffic is logged as one summary per this period unless verbose.
constexpr auto kTrafficSummaryPeriod = 1000ms;
// Stands in for an unknown format when sizing a listener's queue.
constexpr core::AudioFormat kDefaultFormat{44100.0, 1};

bool isAlive(const Connection& c) {
    const auto state = c.state();
    return state == ConnectionState::ready || state == ConnectionState::preparing;
}

// Asio reports these in its own system category, which does not compare equal to std::errc.
bool outOfDescriptors(std::error_code ec) {
    return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space || ec == asio::error::no_memory ||
           ec == std::error_code(ENFILE, asio::system_category());
}

using Listeners = std::vector<std::shared_ptr<AsioConnection>>;

// A compressed stream's bytes to its listeners. Bytes of a run that has since stopped belong to
// another stream than the listeners now have.
void broadcastEncoded(const EncodedStream& stream, const Listeners& list, std::uint64_t generation,
                      const core::SharedBytes& bytes) {
    if (!stream.running() || generation != stream.generation()) return;
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i]->state() == ConnectionState::ready) list[i]->sendOnIoThread(bytes, {}, Droppable::yes);
}

// Keeps the live connections in order and cancels the rest; returns {before, after}.
std::pair<std::size_t, std::size_t> prune(std::vector<std::shared_ptr<AsioConnection>>& list) {
    const std::size_t before = list.size();
    std::erase_if(list, [](const std::shared_ptr<AsioConnection>& connection) {
        if (isAlive(*connection)) return false;
        connection->cancel();
        return true;
    });
    return {before, list.size()};
}
}  // namespace

struct SimpleHTTPServer::Impl {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
    std::optional<asio::ip::tcp::acceptor> acceptor;
    asio::steady_timer acceptPause{io};
    // Held open so that, out of descriptors, one can be freed to accept and close a waiting peer.
    int reserveDescriptor = -1;
    bool outOfDescriptorsLogged = false;
    bool refusalLogged = false;
    // Set when the server was released on this io thread: the thread frees this after run().
    bool orphaned = false;

    // What the traffic summary reports; counted since `since`.
    struct Traffic {
        std::uint64_t chunks = 0, bytes = 0, sent = 0, addressed = 0, statusPolls = 0;
        std::size_t connections = 0;  // the most audio connections one chunk went to
    };
    Traffic traffic;
    std::chrono::steady_clock::time_point since;
    asio::steady_timer summaryTimer{io};
    bool summaryArmed = false;

    // The io thread's own state: nothing else touches it.
    std::vector<std::shared_ptr<AsioConnection>> audio;
    std::vector<std::shared_ptr<AsioConnection>> transcription;
    std::vector<std::shared_ptr<AsioConnection>> opus;
    std::vector<std::shared_ptr<AsioConnection>> mp3;
    std::unordered_map<std::string, std::size_t> openPerHost;
    std::size_t open = 0;

    // Declared last so they go first: their threads post to `io` until joined.
    std::unique_ptr<OpusStream> opusStream;
    std::unique_ptr<Mp3Stream> mp3Stream;
    // Every stream encoded once for all its listeners, told when the input's format changes.
    std::vector<SharedEncoder*> sharedEncoders;

    ~Impl() {
        if (reserveDescriptor >= 0) ::close(reserveDescriptor);
    }
};

// One connection whose request head is still arriving, with its deadline.
struct SimpleHTTPServer::PendingRequest {
    std::shared_ptr<Connection> connection;
    RequestReader reader;
    asio::steady_timer deadline;
    bool routed = false;
};

SimpleHTTPServer::SimpleHTTPServer(Services services, Options options, std::optional<core::AudioFormat> format)
    : services_(services), options_(std::move(options)), impl_(std::make_unique<Impl>()), audioFormat_(format) {}

std::shared_ptr<SimpleHTTPServer> SimpleHTTPServer::create(std::uint16_t port, std::optional<core::AudioFormat> format,
                                                           Services services, Options options) {
    std::shared_ptr<SimpleHTTPServer> server(new SimpleHTTPServer(services, std::move(options), format));
    std::error_code ec;
    const std::string& bind = server->options_.bindAddress;
    // Every address means IPv6 with IPv4 mapped, so phones on either family reach the page;
    // where IPv6 is switched off, IPv4 alone.
    const bool everyAddress = bind == "0.0.0.0" || bind == "::";
    const auto address = everyAddress ? asio::ip::address(asio::ip::address_v6::any()) : asio::ip::make_address(bind, ec);
    if (ec) {
        services.log.print("Failed to create listener: ", ec.message());
        return server;
    }
    auto listen = [&](const asio::ip::address& on) {
        asio::ip::tcp::acceptor acceptor(server->impl_->io);
        const asio::ip::tcp::endpoint endpoint(on, port);
        ec.clear();
        acceptor.open(endpoint.protocol(), ec);
        if (!ec && on.is_v6() && everyAddress) acceptor.set_option(asio::ip::v6_only(false), ec);
        if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) acceptor.bind(endpoint, ec);
        if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (!ec) {
            server->boundPort_ = acceptor.local_endpoint(ec).port();
            server->impl_->acceptor.emplace(std::move(acceptor));
            server->hasListener_ = true;
        }
    };
    listen(address);
    if (ec && everyAddress && (ec == asio::error::address_family_not_supported || ec == std::errc::address_not_available))
        listen(asio::ip::address_v4::any());
    if (ec) services.log.print("Failed to create listener: ", ec.message());
    server->impl_->reserveDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    SimpleHTTPServer* raw = server.get();
    Impl& impl = *server->impl_;
    // An encoder's output goes to its own listeners (members of Impl), on the io thread.
    auto sinkTo = [weak = std::weak_ptr<SimpleHTTPServer>(server), &io = impl.io](auto stream, Listeners Impl::*list) {
        return [weak, &io, stream, list](std::uint64_t generation, core::SharedBytes bytes) {
            asio::post(io, [weak, stream, list, generation, bytes = std::move(bytes)] {
                if (auto self = weak.lock()) {
                    const Impl& streams = *self->impl_;
                    broadcastEncoded(*(streams.*stream), streams.*list, generation, bytes);
                }
            });
        };
    };
    impl.opusStream = std::make_unique<OpusStream>(server->options_.opusBitrate, services.log,
                                                   [raw] { return raw->audioFormat(); },
                                                   sinkTo(&Impl::opusStream, &Impl::opus));
    impl.mp3Stream = std::make_unique<Mp3Stream>(server->options_.mp3Bitrate, services.log,
                                                 [raw] { return raw->audioFormat(); },
                                                 sinkTo(&Impl::mp3Stream, &Impl::mp3));
    impl.sharedEncoders = {impl.opusStream.get(), impl.mp3Stream.get()};
    return server;
}

SimpleHTTPServer::~SimpleHTTPServer() {
    impl_->io.stop();
    const bool onIoThread = ioThread_.joinable() && ioThread_.get_id() == std::this_thread::get_id();
    if (ioThread_.joinable() && !onIoThread) ioThread_.join();
    // Before the format lock it reads goes with the other members (and, on the io thread, while
    // nothing else runs there).
    impl_->opusStream.reset();
    impl_->mp3Stream.reset();
    if (onIoThread) {
        // Released by a handler on the io thread: its io_context is inside run() on this very
        // stack, so the thread frees it once run() has returned instead of here.
        impl_->orphaned = true;
        impl_.release();
        ioThread_.detach();
    }
}

void SimpleHTTPServer::post(std::function<void()> task) { asio::post(impl_->io, std::move(task)); }

void SimpleHTTPServer::start() {
    // The io thread runs even without a listener: broadcasts and counts still go through it.
    ioThread_ = std::thread([impl = impl_.get()] {
        pthread_setname_np(pthread_self(), "http.server");
        impl->io.run();
        if (impl->orphaned) delete impl;  // see ~SimpleHTTPServer
    });
    if (impl_->acceptor) {
        post([weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            self->services_.log.print("Server ready on port ", self->boundPort_);
            self->acceptNext();
        });
    }
    services_.mainQueue.async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->stopped_) return;
        // The ticks come from the main queue's clock (virtual in tests); the passes run on io.
        self->cleanupTimer_ = self->services_.mainQueue.every(kCleanupPeriod, [weak] {
            if (auto s = weak.lock()) s->post([weak] {
                    if (auto server = weak.lock()) server->cleanupDeadConnections();
                });
        });
        self->transcriptionCleanupTimer_ = self->services_.mainQueue.every(kCleanupPeriod, [weak] {
            if (auto s = weak.lock()) s->post([weak] {
                    if (auto server = weak.lock()) server->cleanupDeadTranscriptionConnections();
                });
        });
    });
}

void SimpleHTTPServer::acceptNext() {
    impl_->acceptor->async_accept([weak = weak_from_this()](std::error_code ec, asio::ip::tcp::socket socket) {
        auto self = weak.lock();
        if (!self || self->stopped_) return;
        if (ec == asio::error::operation_aborted) return;
        if (ec) return self->acceptFailed(ec);
        self->impl_->outOfDescriptorsLogged = false;
        self->handleNewConnection(std::make_shared<AsioConnection>(self->impl_->io, std::move(socket)));
        self->acceptNext();
    });
}

void SimpleHTTPServer::acceptFailed(std::error_code error) {
    Impl& impl = *impl_;
    if (!outOfDescriptors(error)) {
        services_.log.print("Accept error: ", error.message());
        return acceptNext();
    }
    // Out of descriptors the listening socket stays readable, so accepting again at once would
    // spin. Log once per episode, turn away the peers that wait (with the reserve descriptor)
    // so they are not left hanging, and try again shortly: idle connections time out meanwhile.
    if (!impl.outOfDescriptorsLogged) {
        services_.log.print("Accept error: ", error.message(), "; refusing new connections until descriptors are free");
        impl.outOfDescriptorsLogged = true;
    }
    if (impl.reserveDescriptor >= 0) {
        ::close(impl.reserveDescriptor);
        impl.reserveDescriptor = -1;
        std::error_code ignored;
        impl.acceptor->native_non_blocking(true, ignored);
        const int listening = impl.acceptor->native_handle();
        for (int turnedAway = 0; turnedAway < 64; ++turnedAway) {
            const int peer = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (peer < 0) break;
            ::close(peer);
        }
        impl.reserveDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    impl.acceptPause.expires_after(kAcceptBackOff);
    impl.acceptPause.async_wait([weak = weak_from_this()](std::error_code ec) {
        auto self = weak.lock();
        if (ec || !self || self->stopped_) return;
        self->acceptNext();
    });
}

void SimpleHTTPServer::handleNewConnection(std::shared_ptr<Connection> connection) {
    Impl& impl = *impl_;
    if (connection->state() != ConnectionState::ready) return;  // the peer left before we looked
    const std::string host = connection->remoteHost();
    std::size_t& fromHost = impl.openPerHost[host];
    if (fromHost >= options_.maxConnectionsPerHost || impl.open >= options_.maxConnections) {
        if (fromHost == 0) impl.openPerHost.erase(host);
        if (!impl.refusalLogged) {
            services_.log.print("Refusing connections from ", host, ": too many open (", fromHost, " from it, ", impl.open,
                                " in all)");
            impl.refusalLogged = true;
        }
        connection->cancel();
        return;
    }
    ++fromHost;
    ++impl.open;
    connection->setStateHandler([weak = weak_from_this(), weakConnection = std::weak_ptr<Connection>(connection),
                                 host](ConnectionState state) {
        if (state != ConnectionState::failed && state != ConnectionState::cancelled) return;
        auto self = weak.lock();
        auto c = weakConnection.lock();
        if (self) self->connectionClosed(c, host);
    });
    auto request = std::make_shared<PendingRequest>(PendingRequest{connection, {}, asio::steady_timer(impl.io), false});
    request->deadline.expires_after(options_.requestTimeout);
    request->deadline.async_wait([weakRequest = std::weak_ptr<PendingRequest>(request)](std::error_code ec) {
        auto pending = weakRequest.lock();
        if (ec || !pending || pending->routed) return;
        pending->connection->cancel();
    });
    readRequest(request);
}

void SimpleHTTPServer::readRequest(const std::shared_ptr<PendingRequest>& request) {
    request->connection->receive(request->reader.room(), [weak = weak_from_this(), request](
                                                             const std::vector<std::uint8_t>* data, bool, std::error_code ec) {
        auto self = weak.lock();
        if (!self) return;
        const auto& connection = request->connection;
        if (ec) {
            self->services_.log.print("Receive error: ", ec.message());
            connection->cancel();
            return;
        }
        const bool ended = !data;
        if (ended && request->reader.head().empty()) {
            // The peer closed without asking anything: nothing to answer, nothing to keep.
            self->services_.log.print("No data received");
            connection->cancel();
            return;
        }
        if (data) request->reader.feed(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
        // A peer that half-closes after an unfinished head is answered from what it sent.
        if (!request->reader.complete() && !ended) return self->readRequest(request);
        request->routed = true;
        request->deadline.cancel();
        self->handleRequest(connection, std::string(request->reader.head()));
    });
}

void SimpleHTTPServer::handleRequest(const std::shared_ptr<Connection>& connection, const std::string& head) {
    RequestReader reader;
    reader.feed(head);
    const std::string_view requestLine = reader.requestLine();
    const Route route = routeFor(requestLine);
    // Every listener page polls the status: counted in the summary rather than two lines each.
    if (route == Route::status && !options_.verbose) {
        ++impl_->traffic.statusPolls;
        scheduleTrafficSummary();
        return sendStatusResponse(connection);
    }
    services_.log.print("Received request: ", logSafePrefix(isValidUtf8(head) ? std::string_view(head) : requestLine, 100));
    switch (route) {
        case Route::page:
            services_.log.print("Serving listener page");
            respondFromPage(connection, &PageResponder::sendListenerPage);
            break;
        case Route::logo:
            services_.log.print("Serving logo");
            respondFromPage(connection, &PageResponder::sendLogo);
            break;
        case Route::decoderScript:
            services_.log.print("Serving decoder script");
            respondFromPage(connection, &PageResponder::sendDecoderScript);
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
            if (requestedCodec(requestLine) == AudioCodec::opus)
                startOpusStream(connection);
            else
                startAudioStream(connection);
            break;
        case Route::audioMp3:
            services_.log.print("Starting audio stream for connection");
            startMp3Stream(connection);
            break;
        case Route::notFound:
            services_.log.print("Unknown request, sending 404");
            sendNotFound(connection);
            break;
    }
}

// A one-shot response from the page responder, cut off if its reader stalls.
void SimpleHTTPServer::respondFromPage(const std::shared_ptr<Connection>& connection,
                                       void (PageResponder::*respond)(const std::shared_ptr<Connection>&)) {
    connection->setStallTimeout(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(options_.maxQueuedSeconds)));
    if (auto responder = pageResponder())
        ((*responder).*respond)(connection);
    else
        sendNotFound(connection);
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
    const bool streaming = isStreaming_.load() && audioFlowing_.load();
    connection->send(core::makeBytes(statusResponse(streaming)), [connection](std::error_code) { connection->cancel(); });
}

void SimpleHTTPServer::sendNotFound(const std::shared_ptr<Connection>& connection) {
    connection->send(core::makeBytes(kNotFoundResponse), [connection](std::error_code) { connection->cancel(); });
}

std::optional<core::AudioFormat> SimpleHTTPServer::audioFormat() const {
    std::lock_guard lock(formatLock_);
    return audioFormat_;
}

void SimpleHTTPServer::updateAudioFormat(core::AudioFormat format) {
    core::AudioFormat announced;  // what raw listeners were told, a default included
    {
        std::lock_guard lock(formatLock_);
        announced = audioFormat_.value_or(kDefaultFormat);
        audioFormat_ = format;
    }
    services_.log.print("HTTP Server: Audio format updated to ", core::formatDecimal(format.sampleRate), "Hz, ",
                        format.channelCount, " channels");
    if (format == announced) return;
    for (SharedEncoder* encoder : impl_->sharedEncoders) encoder->inputFormatChanged();
    // A raw stream's format is in its head, sent once: its samples in another format would play
    // at the wrong speed. Ending it makes the page reconnect and read the new head.
    post([weak = weak_from_this(), announced, format] {
        auto self = weak.lock();
        if (!self) return;
        auto describe = [](const core::AudioFormat& f) {
            return core::formatDecimal(f.sampleRate) + "Hz, " + std::to_string(f.channelCount) + " channels";
        };
        const auto& audio = self->impl_->audio;
        self->services_.log.print("Audio format changed from ", describe(announced), " to ", describe(format),
                                  ": ending ", audio.size(), " raw audio streams");
        for (const auto& connection : audio) connection->cancel();
    });
}

std::size_t SimpleHTTPServer::maxQueuedBytes() const {
    const core::AudioFormat format = audioFormat().value_or(kDefaultFormat);
    const double bytesPerSecond = format.sampleRate * format.channelCount * 2.0;
    // At least two capture buffers, so one late wake-up never cuts a healthy listener off.
    return std::max<std::size_t>(static_cast<std::size_t>(bytesPerSecond * options_.maxQueuedSeconds),
                                 2 * std::size_t{core::kCaptureBlockFrames} * 2 * 2);
}

// Either stream's response head, with its outcome logged.
void SimpleHTTPServer::sendAudioHead(const std::shared_ptr<Connection>& connection, const std::string& head) {
    connection->send(core::makeBytes(head), [weak = weak_from_this()](std::error_code ec) {
        auto self = weak.lock();
        if (!self) return;
        if (ec)
            self->services_.log.print("Error sending audio response: ", ec.message());
        else
            self->services_.log.print("Audio stream started successfully");
    });
}

void SimpleHTTPServer::startAudioStream(const std::shared_ptr<Connection>& connection) {
    const auto format = audioFormat();
    const double rate = format ? format->sampleRate : kDefaultFormat.sampleRate;
    const std::uint32_t channels = format ? format->channelCount : kDefaultFormat.channelCount;
    connection->setBacklogPolicy(audioBacklogPolicy(rate * channels * 2.0, connection->remoteHost()));
    // Sent before the connection joins the list, so the head precedes every chunk.
    sendAudioHead(connection, audioStreamHead(rate, channels));
    impl_->audio.push_back(std::static_pointer_cast<AsioConnection>(connection));
    services_.log.print("Added audio connection");
    updateListenerCount();
    connection->watchForClose();
}

// Raw and Opus listeners alike: how far behind is counted in seconds of their own stream.
BacklogPolicy SimpleHTTPServer::audioBacklogPolicy(double bytesPerSecond, const std::string& host) {
    auto milliseconds = [](double seconds) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
    };
    BacklogPolicy policy;
    policy.bytesPerSecond = bytesPerSecond;
    policy.dropAfter = milliseconds(options_.maxBehindSeconds);
    policy.cutOffAfter = milliseconds(options_.maxQueuedSeconds);
    policy.onDropping = [weak = weak_from_this(), host](std::chrono::milliseconds behind) {
        if (auto self = weak.lock())
            self->services_.log.print("Audio listener ", host, " fell ", behind.count(),
                                      " ms behind: dropping its oldest audio");
    };
    policy.onCutOff = [weak = weak_from_this(), host](std::size_t unsent) {
        if (auto self = weak.lock())
            self->services_.log.print("Disconnecting audio listener ", host, ": it fell behind with ", unsent,
                                      " bytes unsent");
    };
    return policy;
}

void SimpleHTTPServer::startOpusStream(const std::shared_ptr<Connection>& connection) {
    Impl& impl = *impl_;
    if (!impl.opusStream->start()) return startAudioStream(connection);
    connection->setBacklogPolicy(audioBacklogPolicy(onAirBitrateFor(options_.opusBitrate) / 8.0, connection->remoteHost()));
    sendAudioHead(connection, opusStreamHead());
    // The headers of the running stream, then (once in the list) its live pages: a listener
    // joining mid-stream decodes from its first byte.
    connection->send(impl.opusStream->headerPages());
    impl.opus.push_back(std::static_pointer_cast<AsioConnection>(connection));
    services_.log.print("Added Opus audio connection");
    updateListenerCount();
    connection->watchForClose();
}

void SimpleHTTPServer::startMp3Stream(const std::shared_ptr<Connection>& connection) {
    Impl& impl = *impl_;
    // A media element cannot play raw PCM, so there is no stream to fall back on.
    if (!impl.mp3Stream->start()) {
        connection->send(core::makeBytes(serviceUnavailableResponse("MP3 stream unavailable\n")),
                         [connection](std::error_code) { connection->cancel(); });
        return;
    }
    connection->setBacklogPolicy(audioBacklogPolicy(mp3BitrateFor(options_.mp3Bitrate) / 8.0, connection->remoteHost()));
    // Every send of the stream starts on a frame, so a late joiner decodes from its first byte.
    sendAudioHead(connection, mp3StreamHead());
    impl.mp3.push_back(std::static_pointer_cast<AsioConnection>(connection));
    services_.log.print("Added MP3 audio connection");
    updateListenerCount();
    connection->watchForClose();
}

void SimpleHTTPServer::stopEncodersWhenIdle() {
    if (impl_->opus.empty()) impl_->opusStream->stop();
    if (impl_->mp3.empty()) impl_->mp3Stream->stop();
}

void SimpleHTTPServer::sendAudioData(core::SharedBytes chunk) {
    if (!chunk || chunk->empty()) return;
    impl_->opusStream->push(chunk);
    impl_->mp3Stream->push(chunk);
    // One hop to the io thread per chunk, not per listener; every send shares the same buffer.
    post([weak = weak_from_this(), chunk = std::move(chunk)] {
        auto self = weak.lock();
        if (!self) return;
        const auto& list = self->impl_->audio;
        if (list.empty()) return;
        core::Logger& log = self->services_.log;
        const bool verbose = self->options_.verbose;
        if (verbose) log.print("Broadcasting ", chunk->size(), " bytes to ", list.size(), " connections");
        std::size_t sent = 0;
        const std::size_t total = list.size();
        // Index loop: a send that fails runs the state handler later, never inside this loop.
        for (std::size_t i = 0; i < list.size(); ++i) {
            AsioConnection& connection = *list[i];
            const auto state = connection.state();
            if (state == ConnectionState::ready) {
                connection.sendOnIoThread(chunk, {}, Droppable::yes);
                ++sent;
            } else if (verbose) {
                log.print("Connection not ready: ", describe(state));
            }
        }
        if (verbose) return log.print("Sent to ", sent, "/", total, " connections");
        auto& traffic = self->impl_->traffic;
        ++traffic.chunks;
        traffic.bytes += chunk->size();
        traffic.sent += sent;
        traffic.addressed += total;
        traffic.connections = std::max(traffic.connections, total);
        self->scheduleTrafficSummary();
    });
}

void SimpleHTTPServer::startTranscriptionStream(const std::shared_ptr<Connection>& connection) {
    // Captions are small, so a stream under the audio bound is one whose reader has stopped.
    connection->setSendLimit(maxQueuedBytes(), {});
    connection->send(core::makeBytes(kEventStreamHead), [weak = weak_from_this(), connection](std::error_code ec) {
        auto self = weak.lock();
        if (!self) return;
        if (ec) {
            self->services_.log.print("🎤 Error sending transcription stream headers: ", ec.message());
            return;
        }
        auto& list = self->impl_->transcription;
        list.push_back(std::static_pointer_cast<AsioConnection>(connection));
        self->services_.log.print("🎤 Added transcription connection, count: ", list.size());
        self->updateListenerCount();
        connection->send(core::makeBytes(kKeepAlive));
        self->scheduleKeepAlive(connection);
    });
    connection->watchForClose();
}

void SimpleHTTPServer::scheduleKeepAlive(const std::shared_ptr<Connection>& connection) {
    // The delay runs on the main queue's clock (virtual in tests); the check itself on the io thread.
    services_.mainQueue.asyncAfter(kKeepAlivePeriod, [weak = weak_from_this(), weakConnection = std::weak_ptr<Connection>(connection)] {
        auto self = weak.lock();
        if (!self || self->stopped_) return;
        self->post([weak, weakConnection] {
            auto server = weak.lock();
            auto stream = weakConnection.lock();
            if (!server || !stream) return;
            const auto& list = server->impl_->transcription;
            const bool registered = std::find(list.begin(), list.end(), stream) != list.end();
            if (!registered || stream->state() != ConnectionState::ready) return;
            stream->send(core::makeBytes(kKeepAlive));
            server->scheduleKeepAlive(stream);
        });
    });
}

void SimpleHTTPServer::broadcastTranscription(const std::string& message) {
    post([weak = weak_from_this(), event = core::makeBytes(eventFrame(message))] {
        auto self = weak.lock();
        if (!self) return;
        const auto& list = self->impl_->transcription;
        if (list.empty()) return;
        self->services_.log.print("🎤 Broadcasting transcription to ", list.size(), " clients");
        for (std::size_t i = 0; i < list.size(); ++i)
            if (list[i]->state() == ConnectionState::ready) list[i]->sendOnIoThread(event, {});
    });
}

void SimpleHTTPServer::connectionClosed(const std::shared_ptr<Connection>& connection, const std::string& host) {
    Impl& impl = *impl_;
    if (auto it = impl.openPerHost.find(host); it != impl.openPerHost.end() && --it->second == 0)
        impl.openPerHost.erase(it);
    --impl.open;
    impl.refusalLogged = false;
    if (!connection) return;
    const std::size_t before = impl.audio.size() + impl.opus.size() + impl.mp3.size();
    std::erase_if(impl.audio, [&](const auto& c) { return c == connection; });
    std::erase_if(impl.opus, [&](const auto& c) { return c == connection; });
    std::erase_if(impl.mp3, [&](const auto& c) { return c == connection; });
    const std::size_t after = impl.audio.size() + impl.opus.size() + impl.mp3.size();
    if (after == before) return;
    stopEncodersWhenIdle();
    updateListenerCount();
    services_.log.print("Removed audio connection immediately, count: ", after);
}

void SimpleHTTPServer::cleanupDeadConnections() {
    const auto counts = prune(impl_->audio);
    const auto opusCounts = prune(impl_->opus);
    const auto mp3Counts = prune(impl_->mp3);
    const bool encodedChanged = opusCounts.first != opusCounts.second || mp3Counts.first != mp3Counts.second;
    if (encodedChanged) stopEncodersWhenIdle();
    if (counts.first != counts.second || encodedChanged) updateListenerCount();
}

void SimpleHTTPServer::cleanupDeadTranscriptionConnections() {
    const auto counts = prune(impl_->transcription);
    if (counts.first == counts.second) return;
    services_.log.print("🎤 Cleaned up dead transcription connections: ", counts.first, " -> ", counts.second);
    updateListenerCount();
}

void SimpleHTTPServer::updateListenerCount() {
    // Distinct hosts over both lists: one phone with an audio and an event stream counts once.
    std::vector<const std::string*> hosts;
    hosts.reserve(impl_->audio.size() + impl_->opus.size() + impl_->mp3.size() + impl_->transcription.size());
    for (const auto* list : {&impl_->audio, &impl_->opus, &impl_->mp3, &impl_->transcription})
        for (const auto& connection : *list)
            if (!connection->remoteHost().empty()) hosts.push_back(&connection->remoteHost());
    std::sort(hosts.begin(), hosts.end(), [](const auto* a, const auto* b) { return *a < *b; });
    const auto distinct = std::unique(hosts.begin(), hosts.end(), [](const auto* a, const auto* b) { return *a == *b; });
    const std::int64_t count = distinct - hosts.begin();
    listenerCount_.store(static_cast<int>(count));
    publishListenerCount();
}

void SimpleHTTPServer::publishListenerCount() {
    auto& notifications = services_.notifications;
    services_.mainQueue.async([&notifications, count = std::int64_t{listenerCount_.load()}] {
        notifications.post(kListenerCountChanged, {{"count", count}});
    });
}

void SimpleHTTPServer::scheduleTrafficSummary() {
    Impl& impl = *impl_;
    if (impl.summaryArmed) return;
    impl.summaryArmed = true;
    impl.since = std::chrono::steady_clock::now();
    impl.summaryTimer.expires_after(kTrafficSummaryPeriod);
    impl.summaryTimer.async_wait([weak = weak_from_this()](std::error_code ec) {
        if (ec) return;
        if (auto self = weak.lock()) self->logTrafficSummary();
    });
}

// The per-chunk and per-poll lines of the last period in one line each, only when there was any.
void SimpleHTTPServer::logTrafficSummary() {
    Impl& impl = *impl_;
    if (!impl.summaryArmed) return;
    impl.summaryArmed = false;
    const Impl::Traffic traffic = std::exchange(impl.traffic, {});
    const std::string seconds = core::formatDecimal(
        std::round(std::chrono::duration<double>(std::chrono::steady_clock::now() - impl.since).count() * 10) / 10);
    if (traffic.chunks > 0)
        services_.log.print("Broadcast ", traffic.chunks, " chunks (", traffic.bytes, " bytes) to ", traffic.connections,
                            " connections in the last ", seconds, " s: sent ", traffic.sent, "/", traffic.addressed);
    if (traffic.statusPolls > 0)
        services_.log.print("Served ", traffic.statusPolls, " status requests in the last ", seconds, " s");
}

void SimpleHTTPServer::stop() {
    stopped_ = true;
    cleanupTimer_.cancel();
    cleanupTimer_ = {};
    transcriptionCleanupTimer_.cancel();
    transcriptionCleanupTimer_ = {};
    if (!ioThread_.joinable()) return;
    post([this] {
        Impl& impl = *impl_;
        impl.work.reset();
        std::error_code ec;
        if (impl.acceptor) impl.acceptor->close(ec);
        impl.acceptPause.cancel();
        auto audio = std::move(impl.audio);
        auto transcription = std::move(impl.transcription);
        auto opus = std::move(impl.opus);
        auto mp3 = std::move(impl.mp3);
        impl.audio.clear();
        impl.transcription.clear();
        impl.opus.clear();
        impl.mp3.clear();
        for (auto& c : audio) c->cancel();
        for (auto& c : opus) c->cancel();
        for (auto& c : mp3) c->cancel();
        for (auto& c : transcription) c->cancel();
        impl.opusStream->stop();
        impl.mp3Stream->stop();
        impl.summaryTimer.cancel();
        logTrafficSummary();
        updateListenerCount();
        // Queued after the closes just posted: they run, then nothing is served after stop.
        post([this] { impl_->io.stop(); });
    });
    if (ioThread_.get_id() != std::this_thread::get_id()) ioThread_.join();
}

}  // namespace lumeno::server
