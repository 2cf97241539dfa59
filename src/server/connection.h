#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/bytes.h"

namespace lumeno::server {

using core::SharedBytes;

// An accepted socket is ready; one that errored or whose peer went away is failed; cancel gives
// cancelled. preparing exists for layers that report a connection before it is usable.
enum class ConnectionState { preparing, ready, failed, cancelled };

// Whether a send may be skipped unsent when its listener falls behind. Live audio may; a
// response head, or stream headers every later byte depends on, may not.
enum class Droppable { no, yes };

// Bounds a live stream's unsent data in time rather than bytes, so one rule serves raw PCM and
// compressed streams alike. "Unsent" is our own queue plus what the kernel holds that the peer
// has not acknowledged.
struct BacklogPolicy {
    double bytesPerSecond = 0;  // the stream's rate, to turn bytes into time
    // Past this, the oldest whole droppable sends not yet started are dropped: the listener jumps
    // forward instead of hearing stale audio.
    std::chrono::milliseconds dropAfter{1000};
    // A peer that takes nothing at all for this long is failed.
    std::chrono::milliseconds cutOffAfter{4000};
    // Once per episode of dropping (it ends when the listener has caught up), with how far behind.
    std::function<void(std::chrono::milliseconds behind)> onDropping;
    // Before the cut-off failure, with the unsent byte count.
    std::function<void(std::size_t unsent)> onCutOff;
};

const char* describe(ConnectionState state);

// One accepted TCP connection. Sends are queued in order and leave in the order issued; each
// connection bounds its unsent bytes. Thread: state, send and cancel from any thread; callbacks
// run on the server's io thread, never synchronously inside cancel or send.
class Connection {
public:
    using ReceiveHandler = std::function<void(const std::vector<std::uint8_t>* data, bool isComplete, std::error_code)>;
    using SendCompletion = std::function<void(std::error_code)>;
    using StateHandler = std::function<void(ConnectionState)>;

    virtual ~Connection() = default;

    virtual ConnectionState state() const = 0;
    // The listener host key: the numeric address without the port ("127.0.0.1", "::1").
    virtual const std::string& remoteHost() const = 0;
    virtual std::uint16_t remotePort() const = 0;

    // Called on failed and cancelled, once each state change.
    virtual void setStateHandler(StateHandler handler) = 0;
    // One read of 1 to maxBytes bytes; `data` is null when the peer closed with nothing to read.
    virtual void receive(std::size_t maxBytes, ReceiveHandler handler) = 0;
    // Notices a peer that goes away on a connection that is never read again (streams):
    // whatever the peer sends is discarded and its close fails the connection.
    virtual void watchForClose() = 0;
    // A dropped send completes with operation_canceled.
    virtual void send(SharedBytes bytes, SendCompletion completion = {}, Droppable droppable = Droppable::no) = 0;
    // A listener whose unsent bytes would pass `maxBytes` is failed instead of queued further;
    // onOverflow runs once on the io thread with the queued byte count before the failure.
    virtual void setSendLimit(std::size_t maxBytes, std::function<void(std::size_t queued)> onOverflow) = 0;
    // For live streams instead of the byte limit above; set before the first send.
    virtual void setBacklogPolicy(BacklogPolicy policy) = 0;
    // A connection whose peer takes none of its unsent bytes for this long is failed (one-shot
    // responses, which have no further sends that could trip the limit above).
    virtual void setStallTimeout(std::chrono::milliseconds timeout) = 0;
    virtual void cancel() = 0;
};

}  // namespace lumeno::server
