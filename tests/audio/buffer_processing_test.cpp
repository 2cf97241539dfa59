#include "audio/buffer_processing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

using namespace lumeno::audio;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
using Channels = std::vector<std::vector<float>>;

// Planar samples with a view over them, for feeding the processing functions.
struct Planar {
    explicit Planar(Channels samples) : channels(std::move(samples)) {
        for (auto& c : channels) pointers.push_back(c.data());
        const auto frames = static_cast<std::uint32_t>(channels[0].size());
        buffer = AudioBuffer{pointers.data(), static_cast<std::uint32_t>(channels.size()), frames, frames, 48000.0};
    }
    Channels channels;
    std::vector<const float*> pointers;
    AudioBuffer buffer;
};

}  // namespace

TEST(WireFormatTest, ConvertsSamplesWithSymmetricFullScaleAndTruncation) {
    struct Case {
        float sample;
        std::int16_t expected;
    };
    const Case cases[] = {
        {1.0f, 32767},   {1.5f, 32767}, {0.5f, 16383}, {-0.5f, -16383}, {-1.0f, -32767},  {-2.0f, -32767},
        {kNaN, 0},       {kInf, 0},     {-kInf, 0},     {0.0f, 0},       {-0.00002f, 0}, {0.99999f, 32766},
    };
    for (const auto& c : cases) EXPECT_EQ(toWireSample(c.sample), c.expected) << "sample " << c.sample;
}

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
        {{{kNaN, 0.5f}, {1.0f, kInf}}, 1.0f, {0x00, 0x00, 0xFF, 0x7F, 0xFF, 0x3F, 0x00, 0x00}},  // silence, not DC
    };
    for (const auto& c : cases) EXPECT_EQ(*makeWireChunk(Planar(c.samples).buffer, c.gain), c.bytes);

    // Longer than one conversion block: every frame lands in its own place.
    Channels ramp(2, std::vector<float>(1000));
    for (std::size_t i = 0; i < 1000; ++i) ramp[0][i] = ramp[1][i] = (static_cast<float>(i) + 0.5f) / 32767.0f;
    const auto chunk = makeWireChunk(Planar(ramp).buffer, 1.0f);
    for (std::size_t i = 0; i < 2000; ++i) ASSERT_EQ((*chunk)[2 * i] | ((*chunk)[2 * i + 1] << 8), int(i / 2)) << i;
}

TEST(InputRmsTest, UsesFiniteSamplesOfChannelZeroOverTheWholeFrameLength) {
    struct Case {
        const char* name;
        Channels samples;
        float expected;
    };
    const Case cases[] = {
        {"silence", {{0, 0, 0, 0}}, 0.0f},
        {"NaN among zeros", {{0, kNaN, 0, 0}}, 0.0f},
        {"constant", {{0.5f, -0.5f, 0.5f, -0.5f}}, 0.5f},
        {"infinity skipped but counted", {{kInf, 1, 1, 1}}, std::sqrt(0.75f)},
        {"channel 1 ignored", {{0.1f, 0.1f}, {1.0f, 1.0f}}, 0.1f},
    };
    for (const auto& c : cases) EXPECT_FLOAT_EQ(inputRms(Planar(c.samples).buffer), c.expected) << c.name;
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
        {"below the floor", 0.0005f, true, 1.0f, 1.0f, 1.0f},
        {"switched off", 0.05f, false, 1.7f, 1.0f, 1.7f},
        {"quiet input smooths towards 3.0", 0.05f, true, 1.0f, 1.1f, 1.1f},
        {"very quiet input clamps desired at 4.0", 0.01f, true, 1.0f, 1.15f, 1.15f},
        {"loud input: desired 0.3 clamped to 0.5, this buffer capped at 0.95", 0.5f, true, 4.0f, 1.9f, 3.825f},
    };
    for (const auto& c : cases) {
        const GainDecision d = decideGain(c.inputRms, c.enabled, c.currentGain);
        EXPECT_FLOAT_EQ(d.gain, c.expectedGain) << c.name;
        EXPECT_FLOAT_EQ(d.currentGain, c.expectedCurrent) << c.name;
    }
}

TEST(AutoGainTest, SettlesInTheSameTimeWhateverTheBufferLength) {
    // One 4096-frame buffer, the same audio in smaller blocks, or in blocks of uneven length
    // (a platform that delivers other sizes than asked) all move the gain the same way.
    const float oneBuffer = decideGain(0.05f, true, 1.0f, kTargetRMS, gainSmoothingFor(4096)).currentGain;
    EXPECT_FLOAT_EQ(oneBuffer, 1.1f);
    for (const std::vector<std::uint32_t>& blocks :
         {std::vector<std::uint32_t>(8, 512), std::vector<std::uint32_t>(16, 256), std::vector<std::uint32_t>{480, 3000, 616}}) {
        float gain = 1.0f;
        for (const std::uint32_t frames : blocks)
            gain = decideGain(0.05f, true, gain, kTargetRMS, gainSmoothingFor(frames)).currentGain;
        EXPECT_NEAR(gain, oneBuffer, 1e-5f) << blocks.size() << " blocks";
    }
}

TEST(LevelTest, MeterGetsOneLevelPerWindowAsTheRmsOverItTripledAndCapped) {
    MeterWindow window;
    // 0.1 and 0.3 RMS over equal halves of the window: sqrt((0.01 + 0.09) / 2) = 0.2236, shown x3.
    std::vector<std::optional<float>> levels;
    for (int i = 0; i < 4; ++i) levels.push_back(window.add(0.1f, 512));
    for (int i = 0; i < 4; ++i) levels.push_back(window.add(0.3f, 512));
    for (int i = 0; i < 7; ++i) EXPECT_FALSE(levels[static_cast<std::size_t>(i)]) << i;
    ASSERT_TRUE(levels[7]);
    EXPECT_NEAR(*levels[7], 3.0f * std::sqrt(0.05f), 1e-5f);
    // A new window starts empty; one long buffer fills it at once.
    EXPECT_FALSE(window.add(0.0f, 100));
    EXPECT_FLOAT_EQ(window.add(0.5f, 8192).value_or(-1.0f), 1.0f);
    EXPECT_FLOAT_EQ(window.add(0.0f, 4096).value_or(-1.0f), 0.0f);
    EXPECT_FLOAT_EQ(displayLevel(0.2f), 0.6f);
    EXPECT_FLOAT_EQ(displayLevel(0.4f), 1.0f);
}

TEST(BufferCheckTest, OnlyUsableOneOrTwoChannelBuffersAreProcessed) {
    const float samples[2] = {0.1f, 0.2f};
    const float* const p[3] = {samples, samples, samples};
    struct Case {
        const char* name;
        AudioBuffer buffer;  // channels, channel count, frame length, frame capacity, rate
        bool expected;
    };
    const Case cases[] = {
        {"stereo", {p, 2, 2, 2, 48000}, true},
        {"three channels", {p, 3, 2, 2, 48000}, false},
        {"no frames", {p, 1, 0, 2, 48000}, false},
        {"capacity below length", {p, 1, 2, 1, 48000}, false},
        {"NaN rate", {p, 1, 2, 2, std::nan("")}, false},
        {"no float data", {nullptr, 1, 2, 2, 48000}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(isProcessable(c.buffer), c.expected) << c.name;
}

TEST(GainAdjustedCopyTest, AppliesGainWithinUnitRangeAndKeepsTheShape) {
    const auto copy = gainAdjustedCopy(Planar({{0.25f, 0.6f}, {-0.6f, 0.1f}}).buffer, 2.0f);
    ASSERT_TRUE(copy && copy->frameLength() == 2u && copy->channelCount() == 2u);
    EXPECT_EQ(Channels({{copy->channel(0), copy->channel(0) + 2}, {copy->channel(1), copy->channel(1) + 2}}),
              Channels({{0.5f, 1.0f}, {-1.0f, 0.2f}}));
}
