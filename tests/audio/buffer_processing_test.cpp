#include "audio/buffer_processing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

using namespace lumeno::audio;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
using Channels = std::vector<std::vector<float>>;

// Planar samples in a buffer, for feeding the processing functions.
FloatBuffer planar(const Channels& samples) {
    FloatBuffer buffer(static_cast<std::uint32_t>(samples.size()), static_cast<std::uint32_t>(samples[0].size()), 48000.0);
    for (std::uint32_t c = 0; c < buffer.channelCount(); ++c) std::ranges::copy(samples[c], buffer.channel(c));
    buffer.setFrameLength(buffer.frameCapacity());
    return buffer;
}

}  // namespace

// Full scale is symmetric (+-32767), values truncate toward zero and clamp after the gain, and
// what is not a number becomes silence rather than a click.
TEST(WireFormatTest, ChunksAreLittleEndianInterleavedWithGainBeforeTheClamp) {
    struct Case {
        Channels samples;
        float gain;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {{{0.5f, -1.0f}}, 1.0f, {0xFF, 0x3F, 0x01, 0x80}},
        {{{0.5f, 0.0f}, {-0.5f, 1.0f}}, 1.0f, {0xFF, 0x3F, 0x01, 0xC0, 0x00, 0x00, 0xFF, 0x7F}},  // left, right
        {{{0.25f, 0.6f, -0.6f}}, 2.0f, {0xFF, 0x3F, 0xFF, 0x7F, 0x01, 0x80}},
        {{{kNaN, 0.5f}, {-kInf, 0.99999f}}, 1.0f, {0x00, 0x00, 0x00, 0x00, 0xFF, 0x3F, 0xFE, 0x7F}},
    };
    for (const auto& c : cases) EXPECT_EQ(*makeWireChunk(planar(c.samples).view(), c.gain), c.bytes);

    // Longer than one conversion block: every frame lands in its own place.
    Channels ramp(2, std::vector<float>(1000));
    for (std::size_t i = 0; i < 1000; ++i) ramp[0][i] = ramp[1][i] = (static_cast<float>(i) + 0.5f) / 32767.0f;
    const auto chunk = makeWireChunk(planar(ramp).view(), 1.0f);
    for (std::size_t i = 0; i < 2000; ++i) ASSERT_EQ((*chunk)[2 * i] | ((*chunk)[2 * i + 1] << 8), int(i / 2)) << i;
}

// Channel 0's finite samples over the whole frame length: a stray NaN or infinity from a driver
// must not poison the gain.
TEST(InputRmsTest, UsesFiniteSamplesOfChannelZeroOverTheWholeFrameLength) {
    EXPECT_FLOAT_EQ(inputRms(planar({{0, kNaN, 0, 0}}).view()), 0.0f);
    EXPECT_FLOAT_EQ(inputRms(planar({{kInf, 1, 1, 1}}).view()), std::sqrt(0.75f)) << "infinity skipped but counted";
    EXPECT_FLOAT_EQ(inputRms(planar({{0.1f, 0.1f}, {1.0f, 1.0f}}).view()), 0.1f) << "channel 1 ignored";
}

TEST(AutoGainTest, SmoothsClampsAndCapsOnlyThisBufferAtTheCeiling) {
    struct Case {
        const char* name;
        float inputRms;
        bool enabled;
        float currentGain, expectedGain, expectedCurrent;
    };
    const Case cases[] = {
        {"silence keeps the gain", 0.0f, true, 1.3f, 1.0f, 1.3f},
        {"switched off", 0.05f, false, 1.7f, 1.0f, 1.7f},
        {"quiet input smooths towards 3.0", 0.05f, true, 1.0f, 1.1f, 1.1f},
        {"loud input: desired 0.3 clamped to 0.5, this buffer capped at 0.95", 0.5f, true, 4.0f, 1.9f, 3.825f},
    };
    for (const auto& c : cases) {
        const GainDecision d = decideGain(c.inputRms, c.enabled, c.currentGain);
        EXPECT_FLOAT_EQ(d.gain, c.expectedGain) << c.name;
        EXPECT_FLOAT_EQ(d.currentGain, c.expectedCurrent) << c.name;
    }
}

// Eight 512-frame blocks (a platform that delivers smaller buffers than asked) move the gain as
// far as the same audio in one 4096-frame buffer.
TEST(AutoGainTest, SettlesInTheSameTimeWhateverTheBufferLength) {
    float gain = 1.0f;
    for (int i = 0; i < 8; ++i) gain = decideGain(0.05f, true, gain, kTargetRMS, gainSmoothingFor(512)).currentGain;
    EXPECT_NEAR(gain, decideGain(0.05f, true, 1.0f, kTargetRMS, gainSmoothingFor(4096)).currentGain, 1e-5f);
}

TEST(LevelTest, MeterGetsOneLevelPerWindowAsTheRmsOverItTripledAndCapped) {
    MeterWindow window;
    // 0.1 and 0.3 RMS over equal halves of the window: sqrt((0.01 + 0.09) / 2) = 0.2236, shown x3.
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(window.add(0.1f, 512)) << i;
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(window.add(0.3f, 512)) << i;
    EXPECT_NEAR(window.add(0.3f, 512).value_or(-1.0f), 3.0f * std::sqrt(0.05f), 1e-5f);
    // A new window starts empty; one long buffer fills it at once.
    EXPECT_FALSE(window.add(0.0f, 100));
    EXPECT_FLOAT_EQ(window.add(0.5f, 8192).value_or(-1.0f), 1.0f);
    EXPECT_FLOAT_EQ(window.add(0.0f, 4096).value_or(-1.0f), 0.0f);
}

TEST(BufferCheckTest, OnlyUsableOneOrTwoChannelBuffersAreProcessed) {
    const float samples[2] = {0.1f, 0.2f};
    const float* const p[3] = {samples, samples, samples};
    EXPECT_TRUE(isProcessable({p, 2, 2, 2, 48000}));
    // Three channels, a capacity below the length, a NaN rate, no float data.
    const AudioBuffer unusable[] = {{p, 3, 2, 2, 48000}, {p, 1, 2, 1, 48000}, {p, 1, 2, 2, std::nan("")}, {nullptr, 1, 2, 2, 48000}};
    for (const AudioBuffer& buffer : unusable) EXPECT_FALSE(isProcessable(buffer)) << buffer.channelCount;
}
