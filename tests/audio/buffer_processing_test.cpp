#include "audio/buffer_processing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace lumeno::audio;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Planar samples with a view over them, for feeding the processing functions.
struct Planar {
    std::vector<std::vector<float>> channels;
    std::vector<const float*> pointers;
    AudioBuffer buffer;

    explicit Planar(std::vector<std::vector<float>> samples, double rate = 48000.0) : channels(std::move(samples)) {
        for (auto& c : channels) pointers.push_back(c.data());
        const auto frames = static_cast<std::uint32_t>(channels.empty() ? 0 : channels[0].size());
        buffer = AudioBuffer{pointers.data(), static_cast<std::uint32_t>(channels.size()), frames, frames, rate};
    }
};

}  // namespace

TEST(WireFormatTest, ConvertsSamplesWithSymmetricFullScaleAndTruncation) {
    struct Case {
        float sample;
        std::int16_t expected;
    };
    const Case cases[] = {
        {1.0f, 32767},   {1.5f, 32767},   {0.5f, 16383}, {-0.5f, -16383}, {-1.0f, -32767},
        {-2.0f, -32767}, {kNaN, 32767},   {kInf, 32767}, {-kInf, -32767}, {0.0f, 0},
        {-0.00002f, 0},  {0.99999f, 32766},
    };
    for (const auto& c : cases) EXPECT_EQ(toWireSample(c.sample), c.expected) << "sample " << c.sample;
}

TEST(WireFormatTest, ChunksAreLittleEndianInterleavedWithGainBeforeTheClamp) {
    struct Case {
        const char* name;
        std::vector<std::vector<float>> samples;
        float gain;
        std::vector<std::uint8_t> bytes;
    };
    const std::vector<Case> cases = {
        {"mono", {{0.5f, -1.0f}}, 1.0f, {0xFF, 0x3F, 0x01, 0x80}},
        {"stereo left then right", {{0.5f, 0.0f}, {-0.5f, 1.0f}}, 1.0f, {0xFF, 0x3F, 0x01, 0xC0, 0x00, 0x00, 0xFF, 0x7F}},
        {"gain first", {{0.25f, 0.6f, -0.6f}}, 2.0f, {0xFF, 0x3F, 0xFF, 0x7F, 0x01, 0x80}},
    };
    for (const auto& c : cases) {
        Planar p(c.samples);
        EXPECT_EQ(*makeWireChunk(p.buffer, c.gain), c.bytes) << c.name;
    }
}

TEST(InputRmsTest, UsesFiniteSamplesOfChannelZeroOverTheWholeFrameLength) {
    struct Case {
        const char* name;
        std::vector<std::vector<float>> samples;
        float expected;
    };
    const std::vector<Case> cases = {
        {"silence", {{0, 0, 0, 0}}, 0.0f},
        {"NaN among zeros", {{0, kNaN, 0, 0}}, 0.0f},
        {"constant", {{0.5f, -0.5f, 0.5f, -0.5f}}, 0.5f},
        {"infinity skipped but counted", {{kInf, 1, 1, 1}}, std::sqrt(0.75f)},
        {"channel 1 ignored", {{0.1f, 0.1f}, {1.0f, 1.0f}}, 0.1f},
    };
    for (const auto& c : cases) {
        Planar p(c.samples);
        EXPECT_FLOAT_EQ(inputRms(p.buffer), c.expected) << c.name;
    }
}

TEST(AutoGainTest, SmoothsClampsAndCapsAtTheCeiling) {
    struct Case {
        const char* name;
        float inputRms;
        bool enabled;
        float currentGain;
        float expectedGain;
        float expectedCurrent;
    };
    const Case cases[] = {
        {"silence keeps the gain", 0.0f, true, 1.3f, 1.0f, 1.3f},
        {"below the floor", 0.0005f, true, 1.0f, 1.0f, 1.0f},
        {"switched off", 0.05f, false, 1.7f, 1.0f, 1.7f},
        {"quiet input smooths towards 3.0", 0.05f, true, 1.0f, 1.1f, 1.1f},
        {"very quiet input clamps desired at 4.0", 0.01f, true, 1.0f, 1.15f, 1.15f},
        {"loud input raises desired 0.3 to 0.5 and caps this buffer at 0.95", 0.5f, true, 4.0f, 1.9f, 3.825f},
    };
    for (const auto& c : cases) {
        const GainDecision d = decideGain(c.inputRms, c.enabled, c.currentGain);
        EXPECT_FLOAT_EQ(d.gain, c.expectedGain) << c.name;
        EXPECT_FLOAT_EQ(d.currentGain, c.expectedCurrent) << c.name;
    }
}

TEST(AutoGainTest, CeilingLowersOnlyThisBuffersGainNotTheSmoothedOne) {
    // A previous gain chosen so the smoothed gain comes out at 2.0 for input RMS 0.5.
    const float previous = (2.0f - 0.05f * 0.5f) / 0.95f;
    const GainDecision d = decideGain(0.5f, true, previous);
    EXPECT_NEAR(d.currentGain, 2.0f, 1e-5f);
    EXPECT_NEAR(d.gain, 1.9f, 1e-5f);
}

TEST(LevelTest, DisplayLevelIsTripledAndCapped) {
    EXPECT_FLOAT_EQ(displayLevel(0.2f), 0.6f);
    EXPECT_FLOAT_EQ(displayLevel(0.4f), 1.0f);
    EXPECT_FLOAT_EQ(displayLevel(0.0f), 0.0f);
}

TEST(LevelTest, LogLineDependsOnTheSwitchNotOnWhetherGainApplied) {
    EXPECT_EQ(levelLogLine(true, 0.05f, 1.0f, 0.05f), "🔊 Audio level: Input RMS=0.0500, Gain=1.00x, Output RMS=0.0500");
    EXPECT_EQ(levelLogLine(false, 0.2f, 1.0f, 0.2f), "🔊 Audio level: RMS=0.2000, Display=0.6000");
}

TEST(BufferCheckTest, OnlyUsableOneOrTwoChannelBuffersAreProcessed) {
    Planar mono({{0.1f, 0.2f}});
    Planar stereo(std::vector<std::vector<float>>{{0.1f}, {0.2f}});
    Planar three(std::vector<std::vector<float>>{{0.1f}, {0.2f}, {0.3f}});
    auto with = [](AudioBuffer b, auto change) {
        change(b);
        return b;
    };
    struct Case {
        const char* name;
        AudioBuffer buffer;
        bool expected;
    };
    const Case cases[] = {
        {"mono", mono.buffer, true},
        {"stereo", stereo.buffer, true},
        {"three channels", three.buffer, false},
        {"no frames", with(mono.buffer, [](AudioBuffer& b) { b.frameLength = 0; }), false},
        {"no capacity", with(mono.buffer, [](AudioBuffer& b) { b.frameCapacity = 0; }), false},
        {"capacity below length", with(mono.buffer, [](AudioBuffer& b) { b.frameCapacity = 1; }), false},
        {"zero rate", with(mono.buffer, [](AudioBuffer& b) { b.sampleRate = 0; }), false},
        {"NaN rate", with(mono.buffer, [](AudioBuffer& b) { b.sampleRate = std::nan(""); }), false},
        {"no float data", with(mono.buffer, [](AudioBuffer& b) { b.channels = nullptr; }), false},
    };
    for (const auto& c : cases) EXPECT_EQ(isProcessable(c.buffer), c.expected) << c.name;
}

TEST(GainAdjustedCopyTest, AppliesGainWithinUnitRangeAndKeepsTheShape) {
    Planar stereo({{0.25f, 0.6f}, {-0.6f, 0.1f}});
    stereo.buffer.frameCapacity = 2;
    auto copy = gainAdjustedCopy(stereo.buffer, 2.0f);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->frameLength(), 2u);
    EXPECT_EQ(copy->channelCount(), 2u);
    EXPECT_FLOAT_EQ(copy->channel(0)[0], 0.5f);
    EXPECT_FLOAT_EQ(copy->channel(0)[1], 1.0f);
    EXPECT_FLOAT_EQ(copy->channel(1)[0], -1.0f);
    EXPECT_FLOAT_EQ(copy->channel(1)[1], 0.2f);
}
