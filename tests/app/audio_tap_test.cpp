#include "app/audio_tap.h"

#include <gtest/gtest.h>

#include "fakes/capture_logger.h"
#include "fakes/fake_main_view.h"
#include "fakes/virtual_main_queue.h"
#include "support/sample_buffer.h"

using namespace lumeno;
using lumeno::testing::SampleBuffer;

namespace {

class AudioTapTest : public ::testing::Test {
protected:
    void SetUp() override { tap_->setServer(server_); }
    void deliver(const SampleBuffer& samples) { tap_->handler()(samples.buffer); }

    lumeno::testing::VirtualMainQueue queue_;
    lumeno::testing::CaptureLogger log_;
    lumeno::testing::FakeSpeechFeed speech_;
    std::vector<float> levels_;
    std::shared_ptr<lumeno::testing::FakeListenerServer> server_ = std::make_shared<lumeno::testing::FakeListenerServer>();
    std::shared_ptr<app::AudioTap> tap_ =
        app::AudioTap::create({queue_, log_, &speech_, [this](float level) { levels_.push_back(level); }});
};

}  // namespace

TEST_F(AudioTapTest, MeterAndGainMoveOncePerReferenceBufferAndOnlyForUsableBuffers) {
    tap_->setAutoGain(true);
    deliver(SampleBuffer(0.3f, 3));  // three channels: ignored entirely
    deliver(SampleBuffer(0.0f));     // silence: no gain change, meter at 0
    queue_.runUntilIdle();
    EXPECT_EQ(levels_, std::vector<float>{0.0f});
    EXPECT_FLOAT_EQ(tap_->currentGain(), 1.0f);

    // Small blocks add up to the same meter update and gain step as one 4096-frame buffer.
    const SampleBuffer block(0.05f, 1, audio::kCaptureBlockFrames);
    for (std::uint32_t i = 0; i + 1 < audio::kTimingReferenceFrames / audio::kCaptureBlockFrames; ++i) deliver(block);
    queue_.runUntilIdle();
    EXPECT_EQ(levels_.size(), 1u);
    deliver(block);
    queue_.runUntilIdle();
    ASSERT_EQ(levels_.size(), 2u);
    EXPECT_NEAR(levels_[1], 0.05f * 1.05f * 3.0f, 0.01f);  // the gain rose block by block
    EXPECT_NEAR(tap_->currentGain(), 1.1f, 1e-4f);         // 0.95 x 1.0 + 0.05 x (0.15 / 0.05)
}

TEST_F(AudioTapTest, LevelLineComesOncePerIntervalOfUsableBuffers) {
    const SampleBuffer block(0.0f, 1, audio::kCaptureBlockFrames), unusable(0.3f, 3);
    for (int i = 0; i < 2 * audio::kLevelLogInterval; ++i) {
        deliver(block);
        deliver(unusable);
    }
    EXPECT_EQ(log_.lines().size(), 2u);
}

TEST_F(AudioTapTest, StreamedChunkIsTheBufferInWireFormatWithTheCappedGain) {
    tap_->setAutoGain(true);
    for (int i = 0; i < 40; ++i) deliver(SampleBuffer(0.01f));  // quiet input drives the gain towards 4.0 ...
    EXPECT_TRUE(server_->chunks.empty()) << "nothing leaves while not streaming";
    tap_->setStreaming(true);
    deliver(SampleBuffer({{0.5f, -0.5f}, {-0.5f, 0.5f}}));  // ... but RMS 0.5 gets at most 0.95 / 0.5 = 1.9
    EXPECT_GT(tap_->currentGain(), 1.9f);
    ASSERT_EQ(server_->chunks.size(), 1u);
    const std::int16_t high = 0.95f * 32767.0f;
    std::vector<std::uint8_t> expected;
    for (std::int16_t s : {high, std::int16_t(-high), std::int16_t(-high), high})
        expected.insert(expected.end(), {std::uint8_t(s & 0xFF), std::uint8_t((s >> 8) & 0xFF)});
    EXPECT_EQ(*server_->chunks[0], expected);
}

TEST_F(AudioTapTest, SpeechFeedGetsAudioOnlyWhileStreamingAndWanted) {
    struct Case {
        const char* name;
        bool streaming, speechEnabled, recognizing, autoGain;
        float sample;
        std::optional<float> appended;
        bool sameBuffer;
    };
    const Case cases[] = {
        {"not streaming", false, true, true, false, 0.1f, {}, false},
        {"speech switched off", true, false, true, false, 0.1f, {}, false},
        {"session not recognizing", true, true, false, false, 0.1f, {}, false},
        {"auto-gain off: the captured buffer itself", true, true, true, false, 0.1f, 0.1f, true},
        {"auto-gain at unit gain: the captured buffer", true, true, true, true, 0.0f, 0.0f, true},
        {"auto-gain applied: a limited copy", true, true, true, true, 0.05f, 0.055f, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        speech_ = lumeno::testing::FakeSpeechFeed();
        speech_.recognizing = c.recognizing;
        tap_->setStreaming(c.streaming);
        tap_->setSpeechEnabled(c.speechEnabled);
        tap_->setAutoGain(c.autoGain);
        tap_->resetGain();
        SampleBuffer samples(c.sample);
        deliver(samples);
        ASSERT_EQ(speech_.first.size(), c.appended ? 1u : 0u);
        if (!c.appended) continue;
        EXPECT_NEAR(speech_.first[0], *c.appended, 1e-6f);
        EXPECT_EQ(speech_.pointers[0] == samples.pointers[0], c.sameBuffer);
    }
}
