#include "app/audio_tap.h"

namespace lumeno::app {

std::shared_ptr<AudioTap> AudioTap::create(Services services) {
    return std::shared_ptr<AudioTap>(new AudioTap(std::move(services)));
}

audio::CaptureSource::BufferHandler AudioTap::handler() {
    return [self = shared_from_this()](const audio::AudioBuffer& buffer) {
        if (buffer.frameLength == 0 || buffer.frameCapacity < buffer.frameLength || buffer.channels == nullptr) return;
        self->processAudioBuffer(buffer);
    };
}

bool AudioTap::announceFormat(const core::AudioFormat& format) {
    auto server = server_.load();
    if (!server) return false;
    server->updateAudioFormat(format);
    return true;
}

void AudioTap::processAudioBuffer(const audio::AudioBuffer& buffer) {
    if (!audio::isProcessable(buffer)) return;

    const float inputRms = audio::inputRms(buffer);
    const bool autoGain = autoGainEnabled_.load();
    const audio::GainDecision decision = audio::decideGain(inputRms, autoGain, currentGain_.load(), audio::kTargetRMS,
                                                           audio::gainSmoothingFor(buffer.frameLength));
    if (decision.updated) currentGain_.store(decision.currentGain);
    const float gain = decision.gain;
    const float outputRms = inputRms * gain;

    if (++audioDebugCounter_ % audio::kLevelLogInterval == 0)
        services_.log.line(audio::levelLogLine(autoGain, inputRms, gain, outputRms));

    if (const auto level = meterWindow_.add(outputRms, buffer.frameLength); level && services_.showLevel) {
        services_.mainQueue.async([weak = weak_from_this(), level = *level] {
            if (auto self = weak.lock()) self->services_.showLevel(level);
        });
    }

    if (!isStreaming_.load()) return;
    auto server = server_.load();
    if (!server) return;
    server->sendAudioData(audio::makeWireChunk(buffer, gain));

    audio::SpeechFeed* speech = services_.speechFeed;
    if (!speech || !speechEnabled_.load() || !speech->isRecognizing()) return;
    if (autoGain && gain != 1.0f) {
        if (auto adjusted = audio::gainAdjustedCopy(buffer, gain)) speech->append(adjusted->view());
    } else {
        speech->append(buffer);
    }
}

}  // namespace lumeno::app
