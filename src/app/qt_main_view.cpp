#include "app/qt_main_view.h"

#include <QDBusConnection>
#include <QFileDialog>
#include <QMessageBox>

#include "app/view_controller.h"
#include "ui/launcher_badge.h"
#include "ui/main_window.h"
#include "ui/transcript/transcript_panel_view.h"

namespace lumeno::app {

namespace {

ui::SystemColor toSystemColor(LabelColor color) {
    switch (color) {
        case LabelColor::systemOrange: return ui::SystemColor::orange;
        case LabelColor::systemGreen: return ui::SystemColor::green;
        case LabelColor::systemRed: return ui::SystemColor::red;
        case LabelColor::secondaryLabel: return ui::SystemColor::secondaryLabel;
    }
    return ui::SystemColor::secondaryLabel;
}

QString qt(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

QtMainView::QtMainView(ui::MainWindow& window, core::Logger& log)
    : window_(&window), log_(log), badge_(std::make_unique<ui::LauncherBadge>(QDBusConnection::sessionBus())) {}

QtMainView::~QtMainView() = default;

void QtMainView::attach(const std::shared_ptr<ViewController>& controller) {
    ui::MainWindow* window = window_;
    if (!window) return;
    std::weak_ptr<ViewController> weak = controller;
    auto on = [weak](auto action) {
        return [weak, action](auto... args) {
            if (auto c = weak.lock()) action(*c, args...);
        };
    };
    QObject::connect(window, &ui::MainWindow::streamButtonClicked, window,
                     on([](ViewController& c) { c.toggleStreaming(); }));
    QObject::connect(window, &ui::MainWindow::autoGainClicked, window,
                     on([](ViewController& c, bool checked) { c.toggleAutoGain(checked); }));
    QObject::connect(window, &ui::MainWindow::speechClicked, window,
                     on([](ViewController& c, bool checked) { c.toggleSpeech(checked); }));
    QObject::connect(window, &ui::MainWindow::deviceActivated, window, on([window](ViewController& c, int index) {
                         const QString title = window->deviceTitle(index);
                         if (title.isNull()) return c.deviceChanged(std::nullopt);
                         c.deviceChanged(title.toStdString(), window->deviceUniqueID(index));
                     }));
    QObject::connect(window, &ui::MainWindow::qrButtonClicked, window,
                     on([](ViewController& c) { c.generateQRCode(); }));
    QObject::connect(window, &ui::MainWindow::transcriptButtonClicked, window,
                     on([](ViewController& c) { c.toggleTranscriptPanel(); }));
    QObject::connect(window, &ui::MainWindow::firstShown, window,
                     on([](ViewController& c, double width) { c.viewDidAppear(width); }));
}

void QtMainView::setStatus(const std::string& text, LabelColor color) {
    if (window_) window_->setStatus(qt(text), toSystemColor(color));
}

void QtMainView::showAlert(const Alert& alert) {
    if (!window_) return;
    auto* box = new QMessageBox(alert.style == AlertStyle::warning ? QMessageBox::Warning : QMessageBox::Information,
                                "Lumeno", qt(alert.messageText), QMessageBox::Ok, window_);
    box->setTextFormat(Qt::PlainText);
    // Alert texts can carry file names and system messages: shown as text, never as markup.
    box->setInformativeText(qt(alert.informativeText).toHtmlEscaped().replace('\n', "<br>"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName("alert");
    box->open();
}

void QtMainView::setStreamButtonTitle(const std::string& title) {
    if (window_) window_->setStreamButtonTitle(qt(title));
}

void QtMainView::setAutoGainChecked(bool checked) {
    if (window_) window_->setAutoGainChecked(checked);
}

void QtMainView::setSpeechChecked(bool checked) {
    if (window_) window_->setSpeechChecked(checked);
}

void QtMainView::setDeviceItems(const std::vector<DeviceItem>& items) {
    if (!window_) return;
    std::vector<ui::MainWindow::Device> devices;
    for (const auto& item : items) devices.push_back({item.title, item.uniqueID});
    window_->setDevices(devices);
}

void QtMainView::selectDeviceItem(std::size_t index) {
    if (window_) window_->selectDevice(static_cast<int>(index));
}

void QtMainView::updateLevel(float level) {
    if (window_) window_->updateLevel(level);
}

void QtMainView::setListenerCount(const std::string& text, LabelColor color) {
    if (window_) window_->setListenerCount(qt(text), toSystemColor(color));
}

void QtMainView::setDockBadge(const std::string& label) {
    // The controller's badge text is empty or a count.
    badge_->setCount(label.empty() ? 0 : QString::fromStdString(label).toLongLong());
}

void QtMainView::setAddress(const std::string& text, bool qrEnabled) {
    if (window_) window_->setAddress(qt(text), qrEnabled);
}

void QtMainView::setTranscriptButtonTinted(bool tinted) {
    if (window_) window_->setTranscriptButtonTinted(tinted);
}

void QtMainView::showTranscriptPanel() {
    if (window_) window_->showTranscriptPanel();
}

void QtMainView::hideTranscriptPanel() {
    if (window_) window_->hideTranscriptPanel();
}

void QtMainView::addTranscription(const std::string& text, bool isFinal) {
    // A closed panel has no lines to keep; the archive has every caption.
    if (!window_) return;
    if (auto* panel = dynamic_cast<ui::TranscriptPanelView*>(window_->transcriptPanel()))
        panel->addTranscription(text, isFinal);
}

void QtMainView::chooseQRCodeDestination(DestinationChosen done) {
    if (!window_) return done(std::nullopt);
    auto* dialog = new QFileDialog(window_, "Save QR Code (1000x1000px)");
    dialog->setObjectName("qrSaveDialog");
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setNameFilter("PNG Image (*.png)");
    dialog->setDefaultSuffix("png");
    dialog->selectFile("Lumeno-QRCode.png");
    dialog->setLabelText(QFileDialog::Accept, "Save QR Code");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done = std::move(done)](int result) {
        const QStringList files = dialog->selectedFiles();
        if (result == QDialog::Accepted && !files.isEmpty())
            done(std::filesystem::path(files.front().toStdString()));
        else
            done(std::nullopt);
    });
    dialog->open();
}

}  // namespace lumeno::app
