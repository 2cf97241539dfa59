#include "fake_midi_backend.h"

namespace lumeno::testing {

using namespace midi;

void FakeMIDIBackend::setSources(std::vector<MIDISourceInfo> sources) {
    std::lock_guard lock(mutex_);
    sources_ = std::move(sources);
}

MIDISourceInfo FakeMIDIBackend::source(MIDIEndpointRef endpoint, std::string name,
                                       std::optional<std::string> manufacturer) {
    return {endpoint, std::move(name), std::move(manufacturer)};
}

void FakeMIDIBackend::deliver(const MIDIPacketList& packets) {
    ReadCallback callback;
    {
        std::lock_guard lock(mutex_);
        callback = onRead_;
    }
    if (callback) callback(packets);
}

void FakeMIDIBackend::deliver(std::vector<std::uint8_t> bytes) {
    MIDIPacket packet;
    packet.length = static_cast<std::uint16_t>(bytes.size());
    packet.data = std::move(bytes);
    deliver(MIDIPacketList{packet});
}

void FakeMIDIBackend::announceSetupChange() {
    SetupChangedCallback callback;
    {
        std::lock_guard lock(mutex_);
        callback = onSetupChanged_;
    }
    if (callback) callback();
}

std::vector<std::string> FakeMIDIBackend::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

int FakeMIDIBackend::scanCount() const {
    std::lock_guard lock(mutex_);
    return scans_;
}

bool FakeMIDIBackend::hasReadCallback() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(onRead_);
}

MIDIBackend::Created<MIDIClientRef> FakeMIDIBackend::createClient(const std::string&, SetupChangedCallback onSetupChanged) {
    std::lock_guard lock(mutex_);
    if (clientStatus != kMIDISuccess) return {clientStatus, 0};
    onSetupChanged_ = std::move(onSetupChanged);
    return {kMIDISuccess, 1};
}

MIDIBackend::Created<MIDIPortRef> FakeMIDIBackend::createInputPort(MIDIClientRef client, const std::string&,
                                                                   ReadCallback onRead) {
    std::lock_guard lock(mutex_);
    if (client == 0) return {kNoPort, 0};
    if (portStatus != kMIDISuccess) return {portStatus, 0};
    onRead_ = std::move(onRead);
    return {kMIDISuccess, 2};
}

std::vector<MIDISourceInfo> FakeMIDIBackend::sources() {
    std::lock_guard lock(mutex_);
    ++scans_;
    return sources_;
}

MIDIStatus FakeMIDIBackend::connectSource(MIDIPortRef port, MIDIEndpointRef source) {
    std::lock_guard lock(mutex_);
    calls_.push_back("connect " + std::to_string(source));
    return port == 0 ? kNoPort : connectStatus;
}

MIDIStatus FakeMIDIBackend::disconnectSource(MIDIPortRef port, MIDIEndpointRef source) {
    std::lock_guard lock(mutex_);
    calls_.push_back("disconnect " + std::to_string(source));
    return port == 0 ? kNoPort : disconnectStatus;
}

void FakeMIDIBackend::disposePort(MIDIPortRef) {
    std::lock_guard lock(mutex_);
    onRead_ = nullptr;
    calls_.push_back("dispose port");
}

void FakeMIDIBackend::disposeClient(MIDIClientRef) {
    std::lock_guard lock(mutex_);
    onSetupChanged_ = nullptr;
    calls_.push_back("dispose client");
}

std::string FakeMIDIBackend::statusText(MIDIStatus status) const {
    return status == kMIDISuccess ? "" : "fake failure";
}

}  // namespace lumeno::testing
