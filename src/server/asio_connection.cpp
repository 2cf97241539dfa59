#include "server/asio_connection.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>

namespace lumeno::server {

const char* describe(ConnectionState state) {
    switch (state) {
        case ConnectionState::preparing: return "preparing";
        case ConnectionState::ready: return "ready";
        case ConnectionState::failed: return "failed";
        case ConnectionState::cancelled: return "cancelled";
    }
    return "unknown";
}

namespace {
// The listener host key: one device counts once, whatever port or address family it used.
std::string hostKey(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}
}  // namespace

AsioConnection::AsioConnection(asio::io_context& io, asio::ip::tcp::socket socket)
    : io_(io), socket_(std::move(socket)) {
    fd_ = socket_.native_handle();
    std::error_code ec;
    const auto remote = socket_.remote_endpoint(ec);
    if (ec) {
        // The peer left between accept and now: the connection is dead from the start.
        state_ = ConnectionState::failed;
    } else {
        remoteHost_ = hostKey(remote.address());
        remotePort_ = remote.port();
    }
    socket_.non_blocking(true, ec);
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
}

AsioConnection::~AsioConnection() {
    std::error_code ec;
    socket_.close(ec);
}

void AsioConnection::setStateHandler(StateHandler handler) { stateHandler_ = std::move(handler); }

void AsioConnection::receive(std::size_t maxBytes, ReceiveHandler handler) {
    readBuffer_.resize(maxBytes);
    socket_.async_read_some(asio::buffer(readBuffer_), [self = shared_from_this(), handler = std::move(handler)](
                                                             std::error_code ec, std::size_t n) {
        const ConnectionState now = self->state();
        if (now == ConnectionState::cancelled || now == ConnectionState::failed) return;  // we closed it
        if (ec == asio::error::eof) return handler(nullptr, true, {});
        if (ec) return handler(nullptr, false, ec);
        std::vector<std::uint8_t> data(self->readBuffer_.begin(), self->readBuffer_.begin() + static_cast<long>(n));
        handler(&data, false, {});
    });
}

void AsioConnection::watchForClose() {
    readBuffer_.resize(512);
    socket_.async_read_some(asio::buffer(readBuffer_), [self = shared_from_this()](std::error_code ec, std::size_t) {
        if (self->state() != ConnectionState::ready) return;
        if (ec) return self->fail(ec);
        self->watchForClose();  // whatever a stream client sends is ignored
    });
}

void AsioConnection::send(SharedBytes bytes, SendCompletion completion) {
    if (onIoThread()) return sendOnIoThread(std::move(bytes), std::move(completion));
    asio::post(io_, [self = shared_from_this(), bytes = std::move(bytes), completion = std::move(completion)]() mutable {
        self->sendOnIoThread(std::move(bytes), std::move(completion));
    });
}

void AsioConnection::setSendLimit(std::size_t maxBytes, std::function<void(std::size_t)> onOverflow) {
    sendLimit_ = maxBytes;
    onOverflow_ = std::move(onOverflow);
    // Keep most of the backlog in our own bounded queue rather than in kernel buffers, so a stalled
    // listener is noticed after seconds, not after megabytes.
    std::error_code ec;
    socket_.set_option(asio::socket_base::send_buffer_size(static_cast<int>(std::min<std::size_t>(maxBytes / 2, 256 * 1024))), ec);
}

void AsioConnection::sendOnIoThread(const SharedBytes& bytes, SendCompletion completion) {
    if (state() != ConnectionState::ready) return complete(std::move(completion), asio::error::not_connected);
    if (!bytes || bytes->empty()) return complete(std::move(completion), {});
    if (sendLimit_ > 0 && queuedBytes_ + bytes->size() > sendLimit_) {
        const std::size_t queued = queuedBytes_;
        if (onOverflow_) onOverflow_(queued);
        complete(std::move(completion), asio::error::no_buffer_space);
        return fail(asio::error::no_buffer_space);
    }
    std::size_t offset = 0;
    if (queue_.empty() && !waitingWritable_) {
        // The common case with a keeping-up listener: one send straight from the shared buffer,
        // no queue entry at all.
        const ssize_t written = sendSome(bytes->data(), bytes->size());
        if (written < 0) return;  // failed inside
        offset = static_cast<std::size_t>(written);
        if (offset == bytes->size()) return complete(std::move(completion), {});
    }
    queuedBytes_ += bytes->size() - offset;
    queue_.push_back({bytes, offset, std::move(completion)});
    if (!waitingWritable_) flush();
}

ssize_t AsioConnection::sendSome(const std::uint8_t* data, std::size_t size) {
    for (;;) {
        const ssize_t written = ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (written >= 0) return written;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        fail(std::error_code(errno, std::system_category()));
        return -1;
    }
}

void AsioConnection::flush() {
    constexpr std::size_t kMaxGather = 16;
    while (!queue_.empty()) {
        std::array<iovec, kMaxGather> iov{};
        std::size_t count = 0;
        for (auto it = queue_.begin(); it != queue_.end() && count < kMaxGather; ++it, ++count) {
            iov[count].iov_base = const_cast<std::uint8_t*>(it->bytes->data() + it->offset);
            iov[count].iov_len = it->bytes->size() - it->offset;
        }
        const ssize_t written = ::writev(fd_, iov.data(), static_cast<int>(count));
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return waitWritable();
            return fail(std::error_code(errno, std::system_category()));
        }
        auto left = static_cast<std::size_t>(written);
        queuedBytes_ -= left;
        bytesSent_ += left;
        while (left > 0) {
            Pending& front = queue_.front();
            const std::size_t rest = front.bytes->size() - front.offset;
            if (left < rest) {
                front.offset += left;
                left = 0;
            } else {
                left -= rest;
                complete(std::move(front.completion), {});
                queue_.pop_front();
            }
        }
    }
}

void AsioConnection::waitWritable() {
    waitingWritable_ = true;
    if (stallTimeout_.count() > 0 && !stallTimer_) {
        // One timer per stalled connection, re-armed only while its peer takes nothing.
        stallTimer_.emplace(io_);
        armStallCheck();
    }
    socket_.async_wait(asio::socket_base::wait_write, [self = shared_from_this()](std::error_code ec) {
        self->waitingWritable_ = false;
        if (self->state() != ConnectionState::ready) return;
        if (ec) return self->fail(ec);
        self->flush();
    });
}

void AsioConnection::armStallCheck() {
    stallTimer_->expires_after(stallTimeout_);
    stallTimer_->async_wait([self = shared_from_this(), sentBefore = bytesSent_](std::error_code ec) {
        if (ec || self->state() != ConnectionState::ready) return;
        if (self->queue_.empty()) {
            self->stallTimer_.reset();
            return;
        }
        if (self->bytesSent_ == sentBefore) return self->fail(asio::error::timed_out);
        self->armStallCheck();
    });
}

void AsioConnection::complete(SendCompletion completion, std::error_code error) {
    // Completions always run later, so a completion that cancels never re-enters a send.
    if (completion) asio::post(io_, [completion = std::move(completion), error] { completion(error); });
}

void AsioConnection::fail(std::error_code error) { finish(ConnectionState::failed, error); }

void AsioConnection::cancel() {
    ConnectionState expected = ConnectionState::ready;
    if (!state_.compare_exchange_strong(expected, ConnectionState::cancelled) &&
        !(expected == ConnectionState::preparing &&
          state_.compare_exchange_strong(expected, ConnectionState::cancelled)))
        return;
    asio::post(io_, [self = shared_from_this()] { self->finish(ConnectionState::cancelled, asio::error::operation_aborted); });
}

void AsioConnection::finish(ConnectionState final, std::error_code error) {
    if (final == ConnectionState::failed) {
        ConnectionState expected = state();
        do {
            if (expected == ConnectionState::failed || expected == ConnectionState::cancelled) return;
        } while (!state_.compare_exchange_weak(expected, ConnectionState::failed));
    }
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    if (stallTimer_) stallTimer_->cancel();
    for (auto& pending : queue_) complete(std::move(pending.completion), error);
    queue_.clear();
    queuedBytes_ = 0;
    if (stateHandler_) {
        // Once; also breaks any cycle through the handler. Posted, because a send that fails
        // may be inside a loop over the very list the handler changes.
        asio::post(io_, [handler = std::move(stateHandler_), final] { handler(final); });
        stateHandler_ = nullptr;
    }
}

}  // namespace lumeno::server
