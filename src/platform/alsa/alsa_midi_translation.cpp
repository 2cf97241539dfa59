#include "platform/alsa/alsa_midi_translation.h"

namespace lumeno::platform::alsa {

midi::MIDIEndpointRef endpointFor(int client, int port) {
    return (static_cast<midi::MIDIEndpointRef>(client & 0xFF) << 8) | static_cast<midi::MIDIEndpointRef>(port & 0xFF);
}

std::pair<int, int> clientAndPort(midi::MIDIEndpointRef endpoint) {
    return {static_cast<int>((endpoint >> 8) & 0xFF), static_cast<int>(endpoint & 0xFF)};
}

std::optional<midi::MIDIPacket> packetForChannelEvent(ChannelEvent kind, unsigned channel, unsigned long data1,
                                                      long value, std::uint64_t timeStamp) {
    if (channel > 15 || data1 > 127 || value < 0 || value > 127) return std::nullopt;
    const std::uint8_t status = kind == ChannelEvent::noteOn ? 0x90 : 0xB0;
    midi::MIDIPacket packet;
    packet.timeStamp = timeStamp;
    packet.length = 3;
    packet.data = {static_cast<std::uint8_t>(status | channel), static_cast<std::uint8_t>(data1),
                   static_cast<std::uint8_t>(value)};
    return packet;
}

std::optional<std::string> sourceName(std::string_view clientName, std::string_view portName) {
    if (portName.empty()) return clientName.empty() ? std::nullopt : std::optional<std::string>(clientName);
    if (clientName.empty() || portName.starts_with(clientName)) return std::string(portName);
    return std::string(clientName) + ": " + std::string(portName);
}

std::optional<std::string> vendorFromCardNames(std::string_view shortName, std::string_view longName) {
    if (shortName.empty()) return std::nullopt;
    const std::string marker = " " + std::string(shortName);
    const auto at = longName.find(marker);
    if (at == std::string_view::npos || at == 0) return std::nullopt;
    const auto rest = longName.substr(at + marker.size());
    if (!rest.empty() && !rest.starts_with(" at ")) return std::nullopt;
    return std::string(longName.substr(0, at));
}

}  // namespace lumeno::platform::alsa
