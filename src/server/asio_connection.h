#pragma once

#include <asio.hpp>
#include <atomic>
#include <deque>
#include <optional>

#include "server/connection.h"

namespace lumeno::server {

// A Connection over an accepted Asio TCP socket. Everything that touches the socket runs on the
// io thread; send and cancel from other threads hop there first. Writes are non-blocking and
// gathered: a backlog leaves in one writev, and a full socket waits for writability instead of
// keeping an operation per chunk. Thread: io (state() and remoteHost() from any).
class AsioConnection final : public Connection, public std::enable_shared_from_this<AsioConnection> {
public:
    AsioConnection(asio::io_context& io, asio::ip::tcp::socket socket);
    ~AsioConnection() override;

    ConnectionState state() const override { return state_.load(std::memory_order_acquire); }
    const std::string& remoteHost() const override { return remoteHost_; }
    std::uint16_t remotePort() const override { return remotePort_; }

    void setStateHandler(StateHandler handler) override;
    void receive(std::size_t maxBytes, ReceiveHandler handler) override;
    void watchForClose() override;
    void send(SharedBytes bytes, SendCompletion completion = {}, Droppable droppable = Droppable::no) override;
    void setSendLimit(std::size_t maxBytes, std::function<void(std::size_t)> onOverflow) override;
    void setBacklogPolicy(BacklogPolicy policy) override;
    void setStallTimeout(std::chrono::milliseconds timeout) override { stallTimeout_ = timeout; }
    void cancel() override;

    // For the fan-out, which already runs on the io thread.
    void sendOnIoThread(const SharedBytes& bytes, SendCompletion completion, Droppable droppable = Droppable::no);
    bool onIoThread() const { return io_.get_executor().running_in_this_thread(); }

private:
    struct Pending {
        SharedBytes bytes;
        std::size_t offset = 0;
        SendCompletion completion;
        bool droppable = false;
    };
    using Clock = std::chrono::steady_clock;

    void flush();
    // One non-blocking send: bytes written, 0 when the socket is full, -1 after failing the connection.
    ssize_t sendSome(const std::uint8_t* data, std::size_t size);
    void waitWritable();
    void armStallCheck();
    // Backlog policy, only while our own queue holds something: a listener that keeps up never
    // costs a kernel query.
    void startBacklogWatch();
    void armBacklogCheck();
    void checkBacklog();
    void dropOldest(std::size_t atLeast);
    // Bytes written to the kernel that the peer has not acknowledged yet.
    std::size_t kernelUnsent() const;
    void fail(std::error_code error);
    // Fails a peer that stopped taking data.
    void abort(std::error_code error);
    void finish(ConnectionState final, std::error_code error);
    void complete(SendCompletion completion, std::error_code error);

    // Touched for every chunk sent to every listener: kept together at the front.
    std::atomic<ConnectionState> state_{ConnectionState::ready};
    bool waitingWritable_ = false;
    int fd_ = -1;
    std::size_t queuedBytes_ = 0;
    std::size_t sendLimit_ = 0;  // 0: unbounded
    std::deque<Pending> queue_;

    asio::io_context& io_;
    asio::ip::tcp::socket socket_;
    std::string remoteHost_;
    std::uint16_t remotePort_ = 0;
    StateHandler stateHandler_;
    std::vector<std::uint8_t> readBuffer_;
    std::function<void(std::size_t)> onOverflow_;
    std::chrono::milliseconds stallTimeout_{0};  // 0: none
    std::optional<asio::steady_timer> stallTimer_;
    std::uint64_t bytesWritten_ = 0;  // handed to the kernel, for progress

    std::optional<BacklogPolicy> backlogPolicy_;
    std::optional<asio::steady_timer> backlogTimer_;
    std::uint64_t lastTaken_ = 0;  // bytes the peer had acknowledged at the last check
    Clock::time_point lastTookAt_;
    // When the peer was last seen to take anything (acknowledged bytes, or room made in the
    // kernel); kept while no watch runs, so a new watch never dates a stall before it.
    Clock::time_point lastProgressAt_ = Clock::now();
    bool dropping_ = false;  // in an episode of dropping, logged once
};

}  // namespace lumeno::server
