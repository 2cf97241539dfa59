#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace lumeno::midi {

// The only MIDI message kinds the system acts on; everything else is dropped when parsing.
enum class MIDIMessageType { controlChange, noteOn };

// "CC" or "Note": the type's raw value, also its stored JSON form.
std::string_view rawValue(MIDIMessageType type);
std::optional<MIDIMessageType> messageTypeFromRaw(std::string_view raw);
// 0xB0 or 0x90: the high nibble of the status byte that carries the type.
std::uint8_t statusNibble(MIDIMessageType type);

// A learned start or stop command. channel is the status byte's low nibble (0 to 15 when
// learned; up to 255 survives a stored value so that decoding never alters what it read).
struct MIDICommand {
    MIDIMessageType type = MIDIMessageType::controlChange;
    std::uint8_t channel = 0;
    std::uint8_t data1 = 0;
    std::optional<std::uint8_t> data2;  // Control Change threshold; absent for Note On

    // The threshold a learned control gets: the upper half of the controller's range fires.
    static constexpr std::uint8_t kLearnedThreshold = 64;

    // A command learned from an incoming message; its value byte is not kept.
    static MIDICommand learned(MIDIMessageType type, std::uint8_t channel, std::uint8_t data1);

    bool operator==(const MIDICommand&) const = default;

    // "CC7 on Ch1", "C#4 on Ch10": used in log lines and the preferences window.
    std::string description() const;

    // Whether an incoming message fires this command.
    bool matches(MIDIMessageType incomingType, std::uint8_t incomingChannel, std::uint8_t incomingData1,
                 std::uint8_t value) const;
};

// Compact JSON, members in the order type, channel, data1, data2 (data2 only when present).
std::string encodeCommand(const MIDICommand& command);

struct DecodeError {
    std::string message;
};

// Accepts members in any order and ignores unknown ones; rejects the whole command when the
// bytes are not an object, a required member is missing, "type" is not exactly "CC" or "Note",
// or a number is not an integer from 0 to 255.
std::variant<MIDICommand, DecodeError> decodeCommand(std::string_view bytes);

}  // namespace lumeno::midi
