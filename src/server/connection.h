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
    virtual void send(SharedBytes bytes, SendCompletion completion = {}) = 0;
    // A listener whose unsent bytes would pass `maxBytes` is failed instead of queued further;
    // onOverflow runs once on the io thread with the queued byte count before the failure.
    virtual void setSendLimit(std::size_t maxBytes, std::function<void(std::size_t queued)> onOverflow) = 0;
    // A connection whose peer takes none of its unsent bytes for this long is failed (one-shot
    // responses, which have no further sends that could trip the limit above).
    virtual void setStallTimeout(std::chrono::milliseconds timeout) = 0;
    virtual void cancel() = 0;
};

}  // namespace lumeno::server
