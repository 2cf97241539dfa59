#include "midi/midi_command.h"

#include <array>
#include <cmath>
#include <nlohmann/json.hpp>

namespace lumeno::midi {

std::string_view rawValue(MIDIMessageType type) { return type == MIDIMessageType::controlChange ? "CC" : "Note"; }

std::optional<MIDIMessageType> messageTypeFromRaw(std::string_view raw) {
    if (raw == "CC") return MIDIMessageType::controlChange;
    if (raw == "Note") return MIDIMessageType::noteOn;
    return std::nullopt;
}

std::uint8_t statusNibble(MIDIMessageType type) { return type == MIDIMessageType::controlChange ? 0xB0 : 0x90; }

MIDICommand MIDICommand::learned(MIDIMessageType type, std::uint8_t channel, std::uint8_t data1) {
    MIDICommand command{type, channel, data1, std::nullopt};
    if (type == MIDIMessageType::controlChange) command.data2 = kLearnedThreshold;
    return command;
}

std::string MIDICommand::description() const {
    const std::string onChannel = " on Ch" + std::to_string(channel + 1);
    if (type == MIDIMessageType::controlChange) return "CC" + std::to_string(data1) + onChannel;
    static constexpr std::array<const char*, 12> kNames{"C", "C#", "D", "D#", "E", "F",
                                                        "F#", "G", "G#", "A", "A#", "B"};
    const int octave = data1 / 12 - 1;
    return kNames[data1 % 12] + std::to_string(octave) + onChannel;
}

bool MIDICommand::matches(MIDIMessageType incomingType, std::uint8_t incomingChannel, std::uint8_t incomingData1,
                          std::uint8_t value) const {
    if (incomingType != type || incomingChannel != channel || incomingData1 != data1) return false;
    if (type == MIDIMessageType::controlChange && data2) return value >= *data2;
    return value > 0;
}

std::string encodeCommand(const MIDICommand& command) {
    nlohmann::ordered_json object;
    object["type"] = std::string(rawValue(command.type));
    object["channel"] = command.channel;
    object["data1"] = command.data1;
    if (command.data2) object["data2"] = *command.data2;
    return object.dump();
}

namespace {

// An integral number from 0 to 255; 64.0 counts, 64.5 and -1 do not.
std::optional<std::uint8_t> byteValue(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n <= 255) return static_cast<std::uint8_t>(n);
    } else if (value.is_number_float()) {
        const double d = value.get<double>();
        if (d >= 0 && d <= 255 && std::floor(d) == d) return static_cast<std::uint8_t>(d);
    }
    return std::nullopt;
}

}  // namespace

std::variant<MIDICommand, DecodeError> decodeCommand(std::string_view bytes) {
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(bytes);
    } catch (const nlohmann::json::exception& e) {
        return DecodeError{e.what()};
    }
    if (!document.is_object()) return DecodeError{"expected a JSON object"};

    auto member = [&](const char* name) -> const nlohmann::json* {
        auto it = document.find(name);
        return it == document.end() ? nullptr : &*it;
    };
    const auto* type = member("type");
    if (!type) return DecodeError{"missing member \"type\""};
    if (!type->is_string()) return DecodeError{"\"type\" is not a string"};
    const auto messageType = messageTypeFromRaw(type->get<std::string>());
    if (!messageType) return DecodeError{"unknown type \"" + type->get<std::string>() + "\""};

    MIDICommand command;
    command.type = *messageType;
    for (auto [name, field] : {std::pair{"channel", &command.channel}, std::pair{"data1", &command.data1}}) {
        const auto* value = member(name);
        if (!value) return DecodeError{std::string("missing member \"") + name + "\""};
        const auto byte = byteValue(*value);
        if (!byte) return DecodeError{std::string("\"") + name + "\" is not an integer from 0 to 255"};
        *field = *byte;
    }
    if (const auto* data2 = member("data2"); data2 && !data2->is_null()) {
        const auto byte = byteValue(*data2);
        if (!byte) return DecodeError{"\"data2\" is not an integer from 0 to 255"};
        command.data2 = *byte;
    }
    return command;
}

}  // namespace lumeno::midi
