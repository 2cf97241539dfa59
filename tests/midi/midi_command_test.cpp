#include <gtest/gtest.h>

#include "midi/midi_command.h"

using namespace lumeno::midi;

namespace {
constexpr auto CC = MIDIMessageType::controlChange;
constexpr auto Note = MIDIMessageType::noteOn;
}  // namespace

TEST(MIDICommandTest, MatchingUsesThresholdForControlsAndNonZeroOtherwise) {
    const MIDICommand learnedControl = MIDICommand::learned(CC, 0, 64);  // threshold 64
    const MIDICommand bareControl{CC, 0, 64, std::nullopt};
    const MIDICommand note = MIDICommand::learned(Note, 9, 36);
    struct Case {
        const MIDICommand& command;
        MIDIMessageType type;
        std::uint8_t channel, data1, value;
        bool fires;
    };
    const Case cases[] = {
        {learnedControl, CC, 0, 64, 64, true},    {learnedControl, CC, 0, 64, 63, false},
        {learnedControl, CC, 1, 64, 127, false},  {learnedControl, Note, 0, 64, 127, false},
        {bareControl, CC, 0, 64, 1, true},        {bareControl, CC, 0, 64, 0, false},
        {note, Note, 9, 36, 1, true},             {note, Note, 9, 36, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.command.matches(c.type, c.channel, c.data1, c.value), c.fires)
            << c.command.description() << " value " << int(c.value);
}

TEST(MIDICommandTest, StoredFormHasFixedMemberOrderAndMalformedDataIsRejectedWhole) {
    EXPECT_EQ(encodeCommand({CC, 0, 64, 64}), R"({"type":"CC","channel":0,"data1":64,"data2":64})");
    EXPECT_EQ(encodeCommand({Note, 9, 36, std::nullopt}), R"({"type":"Note","channel":9,"data1":36})");
    struct Case {
        const char* json;
        std::optional<MIDICommand> expected;  // none: rejected
    };
    const Case cases[] = {
        {R"({"data1":36,"extra":[1],"channel":9,"type":"Note"})", MIDICommand{Note, 9, 36, std::nullopt}},
        {R"({"type":"CC","channel":0,"data1":7,"data2":null})", MIDICommand{CC, 0, 7, std::nullopt}},
        {R"({"type":"cc","channel":0,"data1":7})", std::nullopt},
        {R"({"type":"CC","channel":0})", std::nullopt},
        {R"({"type":"CC","channel":256,"data1":7})", std::nullopt},
        {R"({"type":"CC","channel":0,"data1":7.5})", std::nullopt},
        {R"({"type":"CC","channel":0,"data1":7,"data2":300})", std::nullopt},
        {"garbage", std::nullopt},
        {"{\"type\":\"CC\",\"channel\":0,\"data1\":7,\"x\":\"\xff\"}", std::nullopt},  // not UTF-8
    };
    for (const auto& c : cases) {
        const auto result = decodeCommand(c.json);
        if (c.expected)
            EXPECT_EQ(std::get<MIDICommand>(result), *c.expected) << c.json;
        else
            EXPECT_FALSE(std::get<DecodeError>(result).message.empty()) << c.json;
    }
}
