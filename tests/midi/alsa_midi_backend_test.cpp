#include <gtest/gtest.h>

#include "platform/alsa/alsa_midi_translation.h"

using namespace lumeno;
using namespace lumeno::platform::alsa;

namespace {

TEST(AlsaMIDITranslationTest, ChannelEventsBecomeThreeBytesOnlyWithinMIDIRanges) {
    struct Case {
        ChannelEvent kind;
        unsigned channel;
        unsigned long data1;
        long value;
        std::vector<std::uint8_t> expected;  // empty: dropped
    };
    const Case cases[] = {
        {ChannelEvent::noteOn, 15, 127, 0, {0x9F, 127, 0}},  // the release is the controller's to drop
        {ChannelEvent::controller, 3, 64, 127, {0xB3, 64, 127}},
        {ChannelEvent::controller, 16, 64, 127, {}},
        {ChannelEvent::controller, 0, 128, 127, {}},
        {ChannelEvent::controller, 0, 64, 128, {}},
        {ChannelEvent::controller, 0, 64, -1, {}},
    };
    for (const auto& c : cases) {
        const auto packet = packetForChannelEvent(c.kind, c.channel, c.data1, c.value, 42);
        EXPECT_EQ(packet ? packet->data : std::vector<std::uint8_t>{}, c.expected) << c.channel << " " << c.data1;
        EXPECT_EQ(packet ? packet->length : 3, 3);
    }
}

TEST(AlsaMIDITranslationTest, NamesAndMakersFromClientPortAndCard) {
    EXPECT_EQ(sourceName("UM-ONE", "UM-ONE MIDI 1"), "UM-ONE MIDI 1");
    EXPECT_EQ(sourceName("VMPK Output", "out"), "VMPK Output: out");
    EXPECT_EQ(sourceName("Pedal", ""), "Pedal");
    EXPECT_FALSE(sourceName("", ""));
    EXPECT_EQ(vendorFromCardNames("UM-ONE", "Roland UM-ONE at usb-0000:00:14.0-2, full speed"), "Roland");
    EXPECT_FALSE(vendorFromCardNames("Oxygen", "M-Audio Oxygen 49 at usb-0000:00:14.0-1, full speed"));
    EXPECT_EQ(clientAndPort(endpointFor(129, 200)), std::make_pair(129, 200));
}

}  // namespace
