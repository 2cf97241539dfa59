#pragma once

#include "ui/preferences/preferences_page.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace lumeno::ui {

// Live transcription: the switch (in step with the main window's), the language, the language
// model, and status lines that say whether captions can run for the stored language and which
// language model they use.
class SpeechPage final : public PreferencesPage {
public:
    explicit SpeechPage(PreferencesServices services);

    QString identifier() const override { return QStringLiteral("speech"); }
    QString title() const override { return QStringLiteral("Speech Recognition"); }
    void load() override;

    void speechEnabledChanged();
    void speechLanguageChanged();
    void languageModelChanged();
    void requestSpeechAuth();
    // Follows the session: the status line, and the switch as stored by whoever changed it.
    void updateSpeechStatus();

    QCheckBox* speechEnabledCheckbox() const { return speechEnabledCheckbox_; }
    QComboBox* speechLanguagePopup() const { return speechLanguagePopup_; }
    QComboBox* languageModelPopup() const { return languageModelPopup_; }
    QLabel* languageModelStatusLabel() const { return languageModelStatusLabel_; }
    QLabel* speechStatusLabel() const { return speechStatusLabel_; }
    QPushButton* requestAuthButton() const { return requestAuthButton_; }
    QLabel* infoLabel() const { return infoLabel_; }

private:
    void showStoredLanguage();

    QCheckBox* speechEnabledCheckbox_;
    QComboBox* speechLanguagePopup_;
    QComboBox* languageModelPopup_;
    QLabel* speechStatusLabel_;
    QLabel* languageModelStatusLabel_;
    QPushButton* requestAuthButton_;
    QLabel* infoLabel_;
};

}  // namespace lumeno::ui
