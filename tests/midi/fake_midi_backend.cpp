#include "fake_midi_backend.h"

namespace lumeno::testing {

using namespace midi;

MIDIBackend::Created<MIDIClientRef> FakeMIDIBackend::createClient(const std::string&, SetupChangedCallback onChange) {
    if (clientStatus) return {clientStatus, 0};
    onSetupChanged = std::move(onChange);
    return {0, 1};
}

MIDIBackend::Created<MIDIPortRef> FakeMIDIBackend::createInputPort(MIDIClientRef, const std::string&, ReadCallback read) {
    if (portStatus) return {portStatus, 0};
    onRead = std::move(read);
    return {0, 2};
}

MIDIStatus FakeMIDIBackend::connectSource(MIDIPortRef, MIDIEndpointRef source) {
    calls.push_back("connect " + std::to_string(source));
    return connectStatus;
}

MIDIStatus FakeMIDIBackend::disconnectSource(MIDIPortRef, MIDIEndpointRef source) {
    calls.push_back("disconnect " + std::to_string(source));
    return kMIDISuccess;
}

void FakeMIDIBackend::disposePort(MIDIPortRef) {
    onRead = nullptr;
    calls.push_back("dispose port");
}

void FakeMIDIBackend::disposeClient(MIDIClientRef) {
    onSetupChanged = nullptr;
    calls.push_back("dispose client");
}

}  // namespace lumeno::testing
