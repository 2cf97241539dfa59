#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "midi/midi_backend.h"

namespace lumeno::testing {

// A MIDI system in memory: sources the test sets, statuses it injects, and calls it can replay.
// Packets and setup changes are delivered on whichever thread the test calls from, as the
// receive thread would. Thread: any.
class FakeMIDIBackend final : public midi::MIDIBackend {
public:
    static constexpr midi::MIDIStatus kNoPort = -22;

    // Injected failures; success unless set.
    midi::MIDIStatus clientStatus = midi::kMIDISuccess;
    midi::MIDIStatus portStatus = midi::kMIDISuccess;
    midi::MIDIStatus connectStatus = midi::kMIDISuccess;
    midi::MIDIStatus disconnectStatus = midi::kMIDISuccess;

    void setSources(std::vector<midi::MIDISourceInfo> sources);
    static midi::MIDISourceInfo source(midi::MIDIEndpointRef endpoint, std::string name,
                                       std::optional<std::string> manufacturer = std::nullopt);

    // The receive thread's side.
    void deliver(const midi::MIDIPacketList& packets);
    void deliver(std::vector<std::uint8_t> bytes);  // one packet of these bytes
    void announceSetupChange();

    // "connect 7", "disconnect 7", "dispose port", "dispose client", in call order.
    std::vector<std::string> calls() const;
    int scanCount() const;
    bool hasReadCallback() const;

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
    mutable std::mutex mutex_;
    std::vector<midi::MIDISourceInfo> sources_;
    SetupChangedCallback onSetupChanged_;
    ReadCallback onRead_;
    std::vector<std::string> calls_;
    int scans_ = 0;
};

}  // namespace lumeno::testing
