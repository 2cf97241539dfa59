#include "ui/preferences/preferences_dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

namespace lumeno::ui {

void QtPreferencesDialogs::chooseFile(QWidget* parent, FileRequest request,
                                      std::function<void(const QString& path)> chosen) {
    auto* dialog = new QFileDialog(parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    switch (request) {
        case FileRequest::openLogo:
            dialog->setWindowTitle(QStringLiteral("Select a logo image"));
            dialog->setFileMode(QFileDialog::ExistingFile);
            dialog->setNameFilter(QStringLiteral("Images (*.png *.jpg *.jpeg *.gif *.svg)"));
            break;
        case FileRequest::openCorrections:
            dialog->setWindowTitle(QStringLiteral("Import corrections"));
            dialog->setFileMode(QFileDialog::ExistingFile);
            dialog->setNameFilter(QStringLiteral("JSON (*.json)"));
            break;
        case FileRequest::saveCorrections:
            dialog->setWindowTitle(QStringLiteral("Export corrections"));
            dialog->setAcceptMode(QFileDialog::AcceptSave);
            dialog->setNameFilter(QStringLiteral("JSON (*.json)"));
            dialog->setDefaultSuffix(QStringLiteral("json"));
            dialog->selectFile(QStringLiteral("corrections.json"));
            break;
    }
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                     [chosen = std::move(chosen)](const QString& path) { chosen(path); });
    dialog->open();  // window-modal, without a nested event loop
}

void QtPreferencesDialogs::showAlert(QWidget* parent, const PreferencesAlert& alert) {
    QMessageBox box(alert.style == AlertStyle::warning ? QMessageBox::Warning : QMessageBox::Information,
                    alert.messageText, alert.messageText, QMessageBox::Ok, parent);
    box.setInformativeText(alert.informativeText);
    box.exec();
}

}  // namespace lumeno::ui
