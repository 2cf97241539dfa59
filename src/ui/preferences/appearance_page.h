#pragma once

#include <QImage>

#include "ui/preferences/preferences_page.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace lumeno::ui {

// The listener page's branding: a logo, or a title and subtitle. Every change is stored at once
// and announced with "preferencesDidChange"; the page reads the keys at its next load.
class AppearancePage final : public PreferencesPage {
public:
    explicit AppearancePage(PreferencesServices services);

    QString identifier() const override { return QStringLiteral("appearance"); }
    QString title() const override { return QStringLiteral("Appearance"); }
    void load() override;

    void useLogoChanged();
    void selectLogo();
    void clearLogo();
    void textFieldChanged();
    // Reads, checks and stores a chosen file; an alert says why when it is refused.
    void logoFileChosen(const QString& path);
    void updateUIState();

    QCheckBox* useLogoCheckbox() const { return useLogoCheckbox_; }
    QLabel* logoImageView() const { return logoImageView_; }
    QPushButton* selectLogoButton() const { return selectLogoButton_; }
    QPushButton* clearLogoButton() const { return clearLogoButton_; }
    QLabel* titleLabel() const { return titleLabel_; }
    QLineEdit* titleTextField() const { return titleTextField_; }
    QLabel* subtitleLabel() const { return subtitleLabel_; }
    QLineEdit* subtitleTextField() const { return subtitleTextField_; }
    bool previewHasImage() const { return !preview_.isNull(); }

private:
    void showPreview(QImage image);
    void stampLogoChange();
    void postChange();

    QLabel* logoImageView_;
    QPushButton* selectLogoButton_;
    QPushButton* clearLogoButton_;
    QLineEdit* titleTextField_;
    QLineEdit* subtitleTextField_;
    QCheckBox* useLogoCheckbox_;
    QLabel* titleLabel_;
    QLabel* subtitleLabel_;
    QImage preview_;
};

// The image the bytes hold, drawn (an SVG at its own size); null when they hold none.
QImage decodeLogo(const std::string& bytes);

}  // namespace lumeno::ui
