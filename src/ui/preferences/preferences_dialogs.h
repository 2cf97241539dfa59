#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace lumeno::ui {

enum class AlertStyle { warning, informational };

struct PreferencesAlert {
    AlertStyle style = AlertStyle::warning;
    QString messageText;
    QString informativeText;
    bool operator==(const PreferencesAlert&) const = default;
};

// The file choosers and alerts of the preferences window: the Qt dialogs in the application,
// a scripted stand-in in tests (a modal dialog would stop a test). Thread: main.
class PreferencesDialogs {
public:
    enum class FileRequest { openLogo, openCorrections, saveCorrections };

    virtual ~PreferencesDialogs() = default;
    // Shows the chooser without blocking; `chosen` runs with the path once the operator confirms,
    // never when the chooser is cancelled.
    virtual void chooseFile(QWidget* parent, FileRequest request, std::function<void(const QString& path)> chosen) = 0;
    // Modal, one "OK" button.
    virtual void showAlert(QWidget* parent, const PreferencesAlert& alert) = 0;
};

class QtPreferencesDialogs final : public PreferencesDialogs {
public:
    void chooseFile(QWidget* parent, FileRequest request, std::function<void(const QString& path)> chosen) override;
    void showAlert(QWidget* parent, const PreferencesAlert& alert) override;
};

}  // namespace lumeno::ui
