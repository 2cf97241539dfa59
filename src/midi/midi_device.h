#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumeno::midi {

// Opaque reference to a MIDI source, given by the back-end.
using MIDIEndpointRef = std::uint32_t;

inline constexpr const char* kUnknownManufacturer = "Unknown";

// One MIDI source as found by a scan. displayName is the device's identity everywhere else
// (the stored selection, connecting by name); equality is by endpoint alone.
struct MIDIDevice {
    std::string id;  // fresh at every scan: identifies a row in a list, not a device
    MIDIEndpointRef endpoint = 0;
    std::string name;
    std::string manufacturer;
    std::string displayName;

    // An absent or unreadable manufacturer becomes "Unknown".
    static MIDIDevice make(MIDIEndpointRef endpoint, std::string name, std::optional<std::string> manufacturer);

    bool operator==(const MIDIDevice& other) const { return endpoint == other.endpoint; }
};

// States of learning: what the next incoming message is used for.
enum class MIDILearningState { idle, learningStart, learningStop };

// A random version-4 UUID in its usual 36-character text form.
std::string makeUUID();

}  // namespace lumeno::midi
