#pragma once

#include <memory>

#include "midi/midi_backend.h"

namespace lumeno::platform {

// MIDI through the ALSA sequencer. The client carries a hidden port subscribed to the system's
// announcements (they become setup changes) and the input port, which is writable and
// subscribable so that other programs may also send to it. Sources are the readable,
// subscribable ports of other clients; connecting subscribes the input port to one of them.
// A receive thread ("midi.receive") turns Note On and Control Change events into three-byte
// packets, one packet list per event so that no event is dropped behind another.
//
// Thread: any; callbacks run on the receive thread. Disposal must not be called from a callback.
class AlsaMIDIBackend final : public midi::MIDIBackend {
public:
    AlsaMIDIBackend();
    ~AlsaMIDIBackend() override;
    AlsaMIDIBackend(const AlsaMIDIBackend&) = delete;
    AlsaMIDIBackend& operator=(const AlsaMIDIBackend&) = delete;

    Created<midi::MIDIClientRef> createClient(const std::string& name, SetupChangedCallback onSetupChanged) override;
    Created<midi::MIDIPortRef> createInputPort(midi::MIDIClientRef client, const std::string& name,
                                               ReadCallback onRead) override;
    std::vector<midi::MIDISourceInfo> sources() override;
    midi::MIDIStatus connectSource(midi::MIDIPortRef port, midi::MIDIEndpointRef source) override;
    midi::MIDIStatus disconnectSource(midi::MIDIPortRef port, midi::MIDIEndpointRef source) override;
    void disposePort(midi::MIDIPortRef port) override;
    void disposeClient(midi::MIDIClientRef client) override;
    std::string statusText(midi::MIDIStatus status) const override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumeno::platform
