#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "midi/midi_backend.h"

// The pure parts of the ALSA back-end: how sequencer facts become the seam's packets, names and
// endpoints. Kept free of ALSA types so they can be tested without a sequencer.
namespace lumeno::platform::alsa {

// A source is a port of another client; client and port ids are 8-bit in the sequencer.
midi::MIDIEndpointRef endpointFor(int client, int port);
std::pair<int, int> clientAndPort(midi::MIDIEndpointRef endpoint);

enum class ChannelEvent { noteOn, controller };

// The three-byte MIDI message for a sequencer channel event, or none when a field lies outside
// MIDI's ranges (software clients can send any integer, and a masked value would be another
// control).
std::optional<midi::MIDIPacket> packetForChannelEvent(ChannelEvent kind, unsigned channel, unsigned long data1,
                                                      long value, std::uint64_t timeStamp);

// The port's name, prefixed by its client's name when the port name does not already say it
// ("VMPK Output: out", but "UM-ONE MIDI 1" stays). None when both are empty.
std::optional<std::string> sourceName(std::string_view clientName, std::string_view portName);

// The maker, as USB cards spell their long name: "<maker> <short name> at <bus>…". None when the
// long name does not follow that form, so the device reads as "Unknown".
std::optional<std::string> vendorFromCardNames(std::string_view shortName, std::string_view longName);

}  // namespace lumeno::platform::alsa
