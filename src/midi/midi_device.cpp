#include "midi/midi_device.h"

#include <array>
#include <cstdio>
#include <random>

namespace lumeno::midi {

MIDIDevice MIDIDevice::make(MIDIEndpointRef endpoint, std::string name, std::optional<std::string> manufacturer) {
    MIDIDevice device;
    device.id = makeUUID();
    device.endpoint = endpoint;
    device.name = std::move(name);
    device.manufacturer = manufacturer ? std::move(*manufacturer) : kUnknownManufacturer;
    device.displayName =
        device.manufacturer == kUnknownManufacturer ? device.name : device.manufacturer + " " + device.name;
    return device;
}

std::string makeUUID() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::array<unsigned char, 16> bytes;
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        const auto word = generator();
        for (std::size_t j = 0; j < 8; ++j) bytes[i + j] = static_cast<unsigned char>(word >> (8 * j));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

}  // namespace lumeno::midi
