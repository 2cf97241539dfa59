#pragma once

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <deque>
#include <memory>
#include <optional>

#include "core/notification_center.h"
#include "fake_midi_backend.h"
#include "fakes/fake_recognizer.h"
#include "support/correction_fixture.h"
#include "ui/preferences/preferences_window.h"

namespace lumeno::testing {

// Answers file choosers from a script (a path, or cancel) and keeps every alert.
class ScriptedDialogs final : public ui::PreferencesDialogs {
public:
    void chooseFile(QWidget*, FileRequest, std::function<void(const QString&)> chosen) override {
        if (answers.empty()) return;
        const auto answer = answers.front();
        answers.pop_front();
        if (answer) chosen(*answer);
    }
    void showAlert(QWidget*, const ui::PreferencesAlert& alert) override { alerts.push_back(alert); }

    std::deque<std::optional<QString>> answers;  // nullopt: the operator cancels
    std::vector<ui::PreferencesAlert> alerts;
};

// The shared objects of the application on fakes, and the window on top of them.
class PreferencesTest : public ::testing::Test, protected CorrectionFixture {
protected:
    PreferencesTest() {
        notifications_.addObserver(prefs::kPreferencesDidChange, [this](const core::Notification&) { ++didChangePosts_; });
    }

    // MIDI and speech are made here, so a test can set up the store and the fakes before.
    ui::PreferencesWindow& makeWindow() {
        window_.reset();  // before a controller it holds is replaced
        if (!midi_) midi_ = midi::MIDIController::create(midiBackend_, {queue_, notifications_, log_, *store_});
        if (!speech_)
            speech_ = speech::SpeechRecognitionManager::create(
                {queue_, log_, preferences_, corrections_, speechPlatform_, &notifications_});
        window_ = std::make_unique<ui::PreferencesWindow>(ui::PreferencesServices{
            queue_, notifications_, log_, preferences_, midi_, speech_, corrections_, dialogs_});
        queue_.advance(std::chrono::seconds(1));  // the window's deferred first refresh
        return *window_;
    }

    // A file in a private temporary folder.
    QString writeFile(const QString& name, const QByteArray& bytes) {
        const QString path = folder_.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }
    static QByteArray imageBytes(const char* format = "PNG") {
        QImage image(40, 20, QImage::Format_RGB32);
        image.fill(Qt::red);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, format);
        return bytes;
    }
    static QByteArray svgBytes() {
        return R"(<?xml version="1.0"?><svg xmlns="http://www.w3.org/2000/svg" width="80" height="40">)"
               R"(<rect width="80" height="40" fill="green"/><script>alert(1)</script></svg>)";
    }

    core::NotificationCenter notifications_;
    FakeSpeechPlatform speechPlatform_;
    std::shared_ptr<FakeMIDIBackend> midiBackend_ = std::make_shared<FakeMIDIBackend>();
    std::shared_ptr<midi::MIDIController> midi_;
    std::shared_ptr<speech::SpeechRecognitionManager> speech_;
    ScriptedDialogs dialogs_;
    int didChangePosts_ = 0;
    QTemporaryDir folder_;
    std::unique_ptr<ui::PreferencesWindow> window_;
};

}  // namespace lumeno::testing
