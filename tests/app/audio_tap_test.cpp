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
    queue_.runUntilIdle();
    EXPECT_FALSE(levels_.empty()) << "the meter moves on main";
}

// The recogniser hears what listeners hear: the gained copy when auto-gain is on.
TEST_F(AudioTapTest, SpeechFeedGetsAudioOnlyWhileStreamingAndWanted) {
    struct Case {
        const char* name;
        bool streaming, speechEnabled, recognizing, autoGain;
        std::optional<float> appended;
    };
    const Case cases[] = {
        {"not streaming", false, true, true, false, {}},
        {"speech switched off", true, false, true, false, {}},
        {"session not recognizing", true, true, false, false, {}},
        {"auto-gain off", true, true, true, false, 0.05f},
        {"auto-gain on", true, true, true, true, 0.055f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        speech_ = lumeno::testing::FakeSpeechFeed();
        speech_.recognizing = c.recognizing;
        tap_->setStreaming(c.streaming);
        tap_->setSpeechEnabled(c.speechEnabled);
        tap_->setAutoGain(c.autoGain);
        tap_->resetGain();
        deliver(SampleBuffer(0.05f));
        ASSERT_EQ(speech_.first.size(), c.appended ? 1u : 0u);
        if (!c.appended) continue;
        EXPECT_NEAR(speech_.first[0], *c.appended, 1e-6f);
    }
}
