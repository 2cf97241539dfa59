#include "server/asio_connection.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
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

void AsioConnection::send(SharedBytes bytes, SendCompletion completion, Droppable droppable) {
    if (onIoThread()) return sendOnIoThread(std::move(bytes), std::move(completion), droppable);
    asio::post(io_, [self = shared_from_this(), bytes = std::move(bytes), completion = std::move(completion),
                     droppable]() mutable { self->sendOnIoThread(std::move(bytes), std::move(completion), droppable); });
}

void AsioConnection::setSendLimit(std::size_t maxBytes, std::function<void(std::size_t)> onOverflow) {
    sendLimit_ = maxBytes;
    onOverflow_ = std::move(onOverflow);
    // Keep most of the backlog in our own bounded queue rather than in kernel buffers, so a stalled
    // listener is noticed after seconds, not after megabytes.
    std::error_code ec;
    socket_.set_option(asio::socket_base::send_buffer_size(static_cast<int>(std::min<std::size_t>(maxBytes / 2, 256 * 1024))), ec);
}

void AsioConnection::setBacklogPolicy(BacklogPolicy policy) {
    if (!(policy.bytesPerSecond > 0)) return;
    lastProgressAt_ = Clock::now();  // nothing was owed before the stream began
    // Only our own queue can be dropped from; what the kernel holds just waits. So the kernel
    // keeps a small share of the drop threshold (it doubles the figure for its overhead) and
    // the lag a listener can reach stays close to the threshold.
    const double share = policy.bytesPerSecond * std::chrono::duration<double>(policy.dropAfter).count() / 4;
    std::error_code ec;
    socket_.set_option(asio::socket_base::send_buffer_size(static_cast<int>(std::clamp(share, 2048.0, 256.0 * 1024))), ec);
    backlogPolicy_ = std::move(policy);
}

void AsioConnection::sendOnIoThread(const SharedBytes& bytes, SendCompletion completion, Droppable droppable) {
    if (state() != ConnectionState::ready) return complete(std::move(completion), asio::error::not_connected);
    if (!bytes || bytes->empty()) return complete(std::move(completion), {});
    if (sendLimit_ > 0 && queuedBytes_ + bytes->size() > sendLimit_) {
        const std::size_t queued = queuedBytes_;
        if (onOverflow_) onOverflow_(queued);
        complete(std::move(completion), asio::error::no_buffer_space);
        return abort(asio::error::no_buffer_space);
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
    queue_.push_back({bytes, offset, std::move(completion), droppable == Droppable::yes});
    if (!waitingWritable_) flush();
    if (backlogPolicy_ && !queue_.empty() && state() == ConnectionState::ready) {
        if (backlogTimer_)
            checkBacklog();
        else
            startBacklogWatch();
    }
}

std::size_t AsioConnection::kernelUnsent() const {
    // SIOCOUTQ (unacknowledged) rather than SIOCOUTQNSD (not yet on the wire): a byte the peer
    // has not acknowledged has not reached the listener, and bytes sent to a peer that vanished
    // are never acknowledged, so only acknowledgements count as the peer taking data. On a LAN
    // the in-flight share is a round trip's worth.
    int unsent = 0;
    if (::ioctl(fd_, SIOCOUTQ, &unsent) != 0 || unsent < 0) return 0;
    return static_cast<std::size_t>(unsent);
}

void AsioConnection::startBacklogWatch() {
    const std::size_t inKernel = kernelUnsent();
    lastTaken_ = bytesWritten_ - inKernel;
    // The kernel took these in real time while we were not behind: a peer that stopped did so
    // about that long ago, but not before it last made room in the kernel. A peer that still
    // takes shows it at the next check.
    const auto filling = Clock::now() - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                            static_cast<double>(inKernel) / backlogPolicy_->bytesPerSecond));
    lastTookAt_ = std::max(filling, lastProgressAt_);
    backlogTimer_.emplace(io_);
    armBacklogCheck();
}

void AsioConnection::armBacklogCheck() {
    // Checks also run with every chunk queued; the timer covers a stalled peer when none come.
    const auto period = std::clamp(backlogPolicy_->cutOffAfter / 16, std::chrono::milliseconds(10),
                                   std::chrono::milliseconds(250));
    backlogTimer_->expires_after(period);
    backlogTimer_->async_wait([self = shared_from_this()](std::error_code ec) {
        if (ec || self->state() != ConnectionState::ready) return;
        // Dropping can empty our queue while the kernel still holds more than the peer takes:
        // the watch, and with it the stall clock, goes on until the socket takes sends again.
        if (self->queue_.empty() && !self->waitingWritable_) {
            self->backlogTimer_.reset();
            return;
        }
        self->checkBacklog();
        if (self->state() == ConnectionState::ready) self->armBacklogCheck();
    });
}

void AsioConnection::checkBacklog() {
    const BacklogPolicy& policy = *backlogPolicy_;
    const auto now = Clock::now();
    const std::size_t inKernel = kernelUnsent();
    const std::uint64_t taken = bytesWritten_ - inKernel;
    if (taken != lastTaken_) {
        lastTaken_ = taken;
        lastTookAt_ = now;
        lastProgressAt_ = now;
    }
    const std::size_t unsent = queuedBytes_ + inKernel;
    if (now - lastTookAt_ >= policy.cutOffAfter) {
        if (policy.onCutOff) policy.onCutOff(unsent);
        return abort(asio::error::timed_out);
    }
    const auto limit =
        static_cast<std::size_t>(policy.bytesPerSecond * std::chrono::duration<double>(policy.dropAfter).count());
    if (unsent <= limit) return;
    if (!dropping_) {
        dropping_ = true;
        if (policy.onDropping)
            policy.onDropping(std::chrono::milliseconds(
                static_cast<std::int64_t>(1000.0 * static_cast<double>(unsent) / policy.bytesPerSecond)));
    }
    dropOldest(unsent - limit);
}

void AsioConnection::dropOldest(std::size_t atLeast) {
    std::size_t dropped = 0;
    for (auto it = queue_.begin(); it != queue_.end() && dropped < atLeast;) {
        // A send already started must finish, or the stream would stop being whole frames.
        if (!it->droppable || it->offset > 0) {
            ++it;
            continue;
        }
        dropped += it->bytes->size();
        complete(std::move(it->completion), std::make_error_code(std::errc::operation_canceled));
        it = queue_.erase(it);
    }
    queuedBytes_ -= dropped;
}

ssize_t AsioConnection::sendSome(const std::uint8_t* data, std::size_t size) {
    for (;;) {
        const ssize_t written = ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (written >= 0) {
            bytesWritten_ += static_cast<std::uint64_t>(written);
            return written;
        }
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
        bytesWritten_ += left;
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
    dropping_ = false;  // caught up: a later fall behind is a new episode
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
        // The kernel frees send space only for bytes the peer acknowledged.
        self->lastProgressAt_ = Clock::now();
        self->flush();
    });
}

void AsioConnection::armStallCheck() {
    stallTimer_->expires_after(stallTimeout_);
    stallTimer_->async_wait([self = shared_from_this(), sentBefore = bytesWritten_](std::error_code ec) {
        if (ec || self->state() != ConnectionState::ready) return;
        if (self->queue_.empty()) {
            self->stallTimer_.reset();
            return;
        }
        if (self->bytesWritten_ == sentBefore) return self->abort(asio::error::timed_out);
        self->armStallCheck();
    });
}

void AsioConnection::complete(SendCompletion completion, std::error_code error) {
    // Completions always run later, so a completion that cancels never re-enters a send.
    if (completion) asio::post(io_, [completion = std::move(completion), error] { completion(error); });
}

void AsioConnection::fail(std::error_code error) { finish(ConnectionState::failed, error); }

void AsioConnection::abort(std::error_code error) {
    // A reset rather than a FIN queued behind data the peer will never take: the kernel frees
    // the backlog at once instead of probing a frozen peer for minutes, and the peer, should it
    // wake, learns at once that it must reconnect.
    std::error_code ignored;
    socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    fail(error);
}

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
    if (backlogTimer_) backlogTimer_->cancel();
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
