#pragma once

#include <QWidget>

#include "ui/preferences/preferences_page.h"

class QTabWidget;

namespace lumeno::ui {

class AppearancePage;
class MIDIPage;
class SpeechPage;
class CorrectionsPage;

// The preferences window: four tabs bound to the store and to the shared objects that own a
// setting. Every change takes effect and is stored at once. Ctrl+W hides it; the shell makes it
// on first use, centres it and keeps it. Thread: main.
class PreferencesWindow final : public QWidget {
public:
    explicit PreferencesWindow(PreferencesServices services, QWidget* parent = nullptr);

    QTabWidget* tabView() const { return tabView_; }
    AppearancePage& appearance() const { return *appearance_; }
    MIDIPage& midi() const { return *midi_; }
    SpeechPage& speech() const { return *speech_; }
    CorrectionsPage& corrections() const { return *corrections_; }

private:
    QTabWidget* tabView_;
    AppearancePage* appearance_;
    MIDIPage* midi_;
    SpeechPage* speech_;
    CorrectionsPage* corrections_;
};

}  // namespace lumeno::ui
