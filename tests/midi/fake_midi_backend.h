#pragma once

#include <string>
#include <vector>

#include "midi/midi_backend.h"

namespace lumeno::testing {

// A MIDI system in memory: the sources a scan finds, a failing client, and a record of calls.
// deliver() and announceSetupChange() run the callbacks on the calling thread, as the receive
// thread would. Thread: the test's, or one it joins before looking at the fields.
class FakeMIDIBackend final : public midi::MIDIBackend {
public:
    std::vector<midi::MIDISourceInfo> found;
    midi::MIDIStatus clientStatus = 0;
    std::vector<std::string> calls;  // "connect 7", "disconnect 7", "dispose port", "dispose client"
    int scans = 0;
    SetupChangedCallback onSetupChanged;
    ReadCallback onRead;

    void deliver(const midi::MIDIPacketList& packets) { if (onRead) onRead(packets); }
    void deliver(std::vector<std::uint8_t> bytes) { deliver({{0, std::uint16_t(bytes.size()), bytes}}); }
    void announceSetupChange() { if (onSetupChanged) onSetupChanged(); }

    Created<midi::MIDIClientRef> createClient(const std::string&, SetupChangedCallback onChange) override {
        if (clientStatus) return {clientStatus, 0};
        onSetupChanged = std::move(onChange);
        return {0, 1};
    }
    Created<midi::MIDIPortRef> createInputPort(midi::MIDIClientRef, const std::string&, ReadCallback read) override {
        onRead = std::move(read);
        return {0, 2};
    }
    std::vector<midi::MIDISourceInfo> sources() override {
        ++scans;
        return found;
    }
    midi::MIDIStatus connectSource(midi::MIDIPortRef, midi::MIDIEndpointRef source) override {
        calls.push_back("connect " + std::to_string(source));
        return midi::kMIDISuccess;
    }
    midi::MIDIStatus disconnectSource(midi::MIDIPortRef, midi::MIDIEndpointRef source) override {
        calls.push_back("disconnect " + std::to_string(source));
        return midi::kMIDISuccess;
    }
    void disposePort(midi::MIDIPortRef) override {
        onRead = nullptr;
        calls.push_back("dispose port");
    }
    void disposeClient(midi::MIDIClientRef) override {
        onSetupChanged = nullptr;
        calls.push_back("dispose client");
    }
    std::string statusText(midi::MIDIStatus status) const override { return status ? "fake failure" : ""; }
};

}  // namespace lumeno::testing
