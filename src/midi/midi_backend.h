#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "midi/midi_device.h"

namespace lumeno::midi {

// 0 is success; anything else is the back-end's own failure code (negative errno for ALSA).
using MIDIStatus = std::int32_t;
inline constexpr MIDIStatus kMIDISuccess = 0;

// References handed out by the back-end; 0 means "none".
using MIDIClientRef = std::uint32_t;
using MIDIPortRef = std::uint32_t;

// One timed MIDI message as delivered to the input port. length is what the sender claims;
// readers trust at most data.size() bytes.
struct MIDIPacket {
    std::uint64_t timeStamp = 0;
    std::uint16_t length = 0;
    std::vector<std::uint8_t> data;
};
using MIDIPacketList = std::vector<MIDIPacket>;

// A source as the back-end knows it. A name that cannot be read is absent; so is a manufacturer.
struct MIDISourceInfo {
    MIDIEndpointRef endpoint = 0;
    std::optional<std::string> name;
    std::optional<std::string> manufacturer;
};

// The MIDI system of the platform: one client, one input port, the sources, and subscribing the
// port to one of them. Implemented by platform/alsa; tests use a fake.
//
// Callbacks run on a thread of the back-end's own. disposePort and disposeClient return only
// after the port's or the client's callback has returned for the last time; none runs later.
class MIDIBackend {
public:
    using SetupChangedCallback = std::function<void()>;
    using ReadCallback = std::function<void(const MIDIPacketList&)>;

    template <typename Ref>
    struct Created {
        MIDIStatus status = kMIDISuccess;
        Ref ref = 0;  // 0 unless status is success
    };

    virtual ~MIDIBackend() = default;

    // onSetupChanged runs whenever sources appear, disappear or change.
    virtual Created<MIDIClientRef> createClient(const std::string& name, SetupChangedCallback onSetupChanged) = 0;
    virtual Created<MIDIPortRef> createInputPort(MIDIClientRef client, const std::string& name,
                                                 ReadCallback onRead) = 0;
    // In source index order; empty without a client.
    virtual std::vector<MIDISourceInfo> sources() = 0;
    virtual MIDIStatus connectSource(MIDIPortRef port, MIDIEndpointRef source) = 0;
    virtual MIDIStatus disconnectSource(MIDIPortRef port, MIDIEndpointRef source) = 0;
    virtual void disposePort(MIDIPortRef port) = 0;
    virtual void disposeClient(MIDIClientRef client) = 0;
    // Words for a failure code, for log lines; may be empty.
    virtual std::string statusText(MIDIStatus status) const = 0;
};

// "-2 (No such file or directory)", or just the number when the back-end has no words for it.
std::string formatStatus(const MIDIBackend& backend, MIDIStatus status);

}  // namespace lumeno::midi
