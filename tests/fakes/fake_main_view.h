#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/listener_server.h"
#include "app/main_view.h"
#include "audio/speech_feed.h"

namespace lumeno::testing {

// Records what the controller shows, for tests of the controller's behaviour.
class FakeMainView final : public app::MainView {
public:
    using LabelColor = app::LabelColor;

    ~FakeMainView() override {
        if (onDestroyed) onDestroyed();
    }

    void setStatus(const std::string& text, LabelColor color) override { statuses.emplace_back(text, color); }
    void setStreamButtonTitle(const std::string& title) override { buttonTitle = title; }
    void setAutoGainChecked(bool) override {}
    void setDeviceItems(const std::vector<app::DeviceItem>&) override {}
    void selectDeviceItem(std::size_t) override {}
    void updateLevel(float) override {}
    void setListenerCount(const std::string& text, LabelColor color) override { listenerCount = {text, color}; }
    void setDockBadge(const std::string&) override {}
    void setTranscriptButtonTinted(bool) override {}
    void showTranscriptPanel() override {}
    void hideTranscriptPanel() override {}
    void setAddress(const std::string& text, bool qrEnabled) override { address = {text, qrEnabled}; }
    void chooseQRCodeDestination(DestinationChosen done) override { done(qrDestination); }
    void showAlert(const app::Alert& alert) override { alerts.push_back(alert); }
    void setSpeechChecked(bool checked) override { speechChecked = checked; }
    void addTranscription(const std::string& text, bool isFinal) override { panel.emplace_back(text, isFinal); }

    std::string status() const { return statuses.empty() ? "" : statuses.back().first; }

    std::vector<std::pair<std::string, LabelColor>> statuses;
    std::string buttonTitle;
    std::pair<std::string, LabelColor> listenerCount;
    std::pair<std::string, bool> address;
    std::optional<std::filesystem::path> qrDestination;  // what the save dialog answers
    std::vector<app::Alert> alerts;
    std::optional<bool> speechChecked;
    std::vector<std::pair<std::string, bool>> panel;
    std::function<void()> onDestroyed;  // tells on which thread its last owner let go
};

// Records what the controller asks of the listener server.
class FakeListenerServer final : public app::ListenerServer {
public:
    void start() override { started = true; }
    void stop() override { stopped = true; }
    void setStreaming(bool streaming) override { streamingCalls.push_back(streaming); }
    void setAudioFlowing(bool flowing) override { audioFlowing = flowing; }
    void updateAudioFormat(core::AudioFormat format) override { formats.push_back(format); }
    void sendAudioData(core::SharedBytes chunk) override {
        if (onSend) onSend();
        chunks.push_back(std::move(chunk));
    }
    int uniqueListenerCount() const override { return 0; }
    void publishListenerCount() override {}

    bool started = false, stopped = false;
    std::vector<bool> streamingCalls;
    std::atomic<bool> audioFlowing{true};
    std::vector<core::AudioFormat> formats;
    std::vector<core::SharedBytes> chunks;
    std::function<void()> onSend;  // on the tap thread, before the chunk is kept
};

// Live transcription's audio input, recording the first sample of each buffer it is handed.
class FakeSpeechFeed final : public audio::SpeechFeed {
public:
    bool isRecognizing() const override { return recognizing; }
    void append(const audio::AudioBuffer& buffer) override {
        first.push_back(buffer.channels[0][0]);
    }
    bool recognizing = true;
    std::vector<float> first;
};

}  // namespace lumeno::testing
