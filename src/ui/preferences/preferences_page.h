#pragma once

#include <QString>
#include <QPointer>
#include <QWidget>
#include <memory>
#include <vector>

#include "core/log.h"
#include "core/main_queue.h"
#include "core/notification_center.h"
#include "midi/midi_controller.h"
#include "prefs/preferences_manager.h"
#include "speech/speech_recognition_manager.h"
#include "speech/transcription_correction_manager.h"
#include "ui/preferences/preferences_dialogs.h"

namespace lumeno::ui {

// The shared objects the preferences window shows and changes. All outlive the window.
struct PreferencesServices {
    core::MainQueue& mainQueue;
    core::NotificationCenter& notifications;
    core::Logger& log;
    prefs::PreferencesManager& preferences;
    std::shared_ptr<midi::MIDIController> midi;
    std::shared_ptr<speech::SpeechRecognitionManager> speech;
    std::shared_ptr<speech::TranscriptionCorrectionManager> corrections;
    PreferencesDialogs& dialogs;
};

// One tab of the preferences window: builds its own controls, shows the stored values when the
// window loads, and follows the notifications it subscribes to until it is destroyed.
// Thread: main.
class PreferencesPage : public QWidget {
public:
    explicit PreferencesPage(PreferencesServices services) : services_(services) {}
    ~PreferencesPage() override {
        for (auto token : observers_) services_.notifications.removeObserver(token);
    }

    virtual QString identifier() const = 0;  // "appearance"
    virtual QString title() const = 0;       // "Appearance"
    // Shows the stored values and subscribes; called once, when the window is built.
    virtual void load() = 0;

protected:
    template <typename F>
    void observe(const char* name, F handler) {
        observers_.push_back(services_.notifications.addObserver(name, [handler](const core::Notification&) { handler(); }));
    }
    // Runs `step` on the main queue after `delay`, unless the page is gone by then.
    template <typename Page, typename F>
    void later(std::chrono::milliseconds delay, Page* page, F step) {
        services_.mainQueue.asyncAfter(delay, [guard = QPointer<Page>(page), step = std::move(step)]() mutable {
            if (guard) step(*guard);
        });
    }
    void alert(const QString& message, const QString& informative) {
        services_.dialogs.showAlert(this, {AlertStyle::warning, message, informative});
    }

    PreferencesServices services_;

private:
    std::vector<core::ObserverToken> observers_;
};

}  // namespace lumeno::ui
