#include "ui/main_window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEasingCurve>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>
#include <QVariantAnimation>

#include "ui/level_meter.h"

namespace lumeno::ui {

namespace {

constexpr int kMargin = 20;
constexpr int kContentTop = 5;
constexpr int kPopupMaxWidth = 180;
constexpr int kPopupTextSpace = kPopupMaxWidth - 36;  // what the arrow and frame leave for the name
constexpr int kRowHeight = 20;
// The spacing the listener count keeps from the address row; the window is grown for it.
constexpr int kCountRowSpacing = 10;

// Centres a box of the given height on the line of another box.
int centredOn(const QRect& line, int height) { return line.top() + (line.height() - height) / 2; }

// A speech bubble with three text lines, drawn in the given colour: the transcript button's icon.
QIcon bubbleIcon(const QColor& color) {
    const qreal ratio = 2.0;
    QPixmap pixmap(QSize(22, 20) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(1.5, 1.5, 19, 13), 4, 4);
    QPainterPath tail;
    tail.moveTo(5, 14);
    tail.lineTo(4.5, 18.5);
    tail.lineTo(10, 14);
    painter.setPen(QPen(color, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(bubble.united(tail));
    for (int i = 0; i < 3; ++i) painter.drawLine(QPointF(5.5, 5 + i * 3), QPointF(i == 2 ? 12 : 16.5, 5 + i * 3));
    return QIcon(pixmap);
}

void setTextColor(QLabel* label, SystemColor color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, systemColor(color, label->parentWidget()->palette()));
    label->setPalette(palette);
}

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    // Text that came from the network (counts, addresses, device names) is never markup.
    label->setTextFormat(Qt::PlainText);
    return label;
}

}  // namespace

MainLayout MainLayout::compute(int checkBoxHeight) {
    MainLayout l;
    const int right = MainWindow::kWindowWidth - kMargin;
    const int fullWidth = right - kMargin;
    const int top = kContentTop;

    l.inputLabel = QRect(kMargin, top + 25, 100, kRowHeight);
    l.devicePopup = QRect(l.inputLabel.right() + 1 + 10, 0, kPopupMaxWidth, 25);
    l.devicePopup.moveTop(centredOn(l.inputLabel, l.devicePopup.height()));
    l.transcriptButton = QRect(right - 40, 0, 40, 30);
    l.transcriptButton.moveTop(centredOn(l.devicePopup, l.transcriptButton.height()));

    l.levelMeter = QRect(kMargin, l.inputLabel.bottom() + 1 + 30, fullWidth, 60);
    l.streamButton = QRect((MainWindow::kWindowWidth - 140) / 2, l.levelMeter.bottom() + 1 + 30, 140, 40);
    l.toggleTop = l.streamButton.bottom() + 1 + 20;
    l.toggleHeight = checkBoxHeight;
    l.statusLabel = QRect(kMargin, l.toggleTop + checkBoxHeight + 20, fullWidth, kRowHeight);

    const int addressTop = l.statusLabel.bottom() + 1 + 20;
    l.qrButton = QRect(right - 85, 0, 85, 24);
    l.addressLabel = QRect(kMargin, addressTop, l.qrButton.left() - 10 - kMargin, kRowHeight);
    l.qrButton.moveTop(centredOn(l.addressLabel, l.qrButton.height()));

    // Pinned 20 px above the bottom, and below the address row whatever that costs in height.
    const int addressBottom = std::max(l.addressLabel.bottom(), l.qrButton.bottom()) + 1;
    const int countTop = std::max(addressBottom + kCountRowSpacing, 360 - 20 - kRowHeight);
    l.listenerCountLabel = QRect(kMargin, countTop, fullWidth, kRowHeight);
    l.contentHeight = l.listenerCountLabel.bottom() + 1 + 20;
    return l;
}

MainWindow::MainWindow(core::Logger& log, QWidget* parent) : QMainWindow(parent), log_(log) {
    setWindowTitle("Lumeno");
    buildControls();

    slide_ = new QVariantAnimation(this);
    slide_->setObjectName("panelSlide");
    slide_->setDuration(kSlideMilliseconds);
    // The classic ease-in-ease-out timing curve.
    QEasingCurve easeInOut(QEasingCurve::BezierSpline);
    easeInOut.addCubicBezierSegment(QPointF(0.42, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    slide_->setEasingCurve(easeInOut);
    connect(slide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        applyPanelProgress(value.toDouble());
    });
    connect(slide_, &QVariantAnimation::finished, this, [this] { slideFinished(); });
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls() {
    root_ = new QWidget(this);
    setCentralWidget(root_);
    content_ = new QWidget(root_);

    auto* inputLabel = plainLabel("Audio Input:", content_);
    devicePopup_ = new QComboBox(content_);
    devicePopup_->setObjectName("devicePopup");
    devicePopup_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    connect(devicePopup_, &QComboBox::activated, this, [this](int index) {
        devicePopup_->setToolTip(devicePopup_->itemData(index, Qt::ToolTipRole).toString());
        emit deviceActivated(index);
    });

    levelMeter_ = new LevelMeter(content_);
    levelMeter_->setObjectName("levelMeter");

    streamButton_ = new QPushButton("Start Streaming", content_);
    streamButton_->setObjectName("streamButton");
    connect(streamButton_, &QPushButton::clicked, this, [this] { emit streamButtonClicked(); });

    autoGainToggle_ = new QCheckBox("Auto Gain", content_);
    autoGainToggle_->setObjectName("autoGainToggle");
    autoGainToggle_->setToolTip("Automatically normalize audio levels for consistent volume");
    connect(autoGainToggle_, &QCheckBox::clicked, this, &MainWindow::autoGainClicked);

    speechToggle_ = new QCheckBox("Live Transcription", content_);
    speechToggle_->setObjectName("speechToggle");
    speechToggle_->setToolTip("Enable real-time speech-to-text transcription");
    connect(speechToggle_, &QCheckBox::clicked, this, &MainWindow::speechClicked);

    statusLabel_ = plainLabel("Status: Stopped", content_);
    statusLabel_->setObjectName("statusLabel");
    statusLabel_->setAlignment(Qt::AlignCenter);

    ipLabel_ = plainLabel("Initializing...", content_);
    ipLabel_->setObjectName("ipLabel");
    ipLabel_->setAlignment(Qt::AlignCenter);
    ipLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setTextColor(ipLabel_, SystemColor::secondaryLabel);

    qrButton_ = new QPushButton("QR Code", content_);
    qrButton_->setObjectName("qrButton");
    qrButton_->setEnabled(false);
    connect(qrButton_, &QPushButton::clicked, this, [this] { emit qrButtonClicked(); });

    listenerCountLabel_ = plainLabel("👥 Active Listeners: 0", content_);
    listenerCountLabel_->setObjectName("listenerCountLabel");
    listenerCountLabel_->setAlignment(Qt::AlignCenter);
    QFont small = listenerCountLabel_->font();
    small.setPointSizeF(11 * 0.75);  // 11 points on a 72-dpi design grid
    listenerCountLabel_->setFont(small);
    setTextColor(listenerCountLabel_, SystemColor::secondaryLabel);

    transcriptButton_ = new QToolButton(content_);
    transcriptButton_->setObjectName("transcriptButton");
    transcriptButton_->setAccessibleName("Transcripts");
    transcriptButton_->setToolTip("View Live Transcriptions");
    transcriptButton_->setIconSize(QSize(22, 20));
    setTranscriptButtonTinted(false);
    connect(transcriptButton_, &QToolButton::clicked, this, [this] { emit transcriptButtonClicked(); });

    const MainLayout rows = MainLayout::compute(autoGainToggle_->sizeHint().height());
    inputLabel->setGeometry(rows.inputLabel);
    devicePopup_->setGeometry(rows.devicePopup);
    transcriptButton_->setGeometry(rows.transcriptButton);
    levelMeter_->setGeometry(rows.levelMeter);
    streamButton_->setGeometry(rows.streamButton);
    const int centre = kWindowWidth / 2;
    const int autoGainWidth = autoGainToggle_->sizeHint().width();
    autoGainToggle_->setGeometry(centre - 10 - autoGainWidth, rows.toggleTop, autoGainWidth, rows.toggleHeight);
    speechToggle_->setGeometry(centre + 10, rows.toggleTop, speechToggle_->sizeHint().width(), rows.toggleHeight);
    statusLabel_->setGeometry(rows.statusLabel);
    ipLabel_->setGeometry(rows.addressLabel);
    qrButton_->setGeometry(rows.qrButton);
    listenerCountLabel_->setGeometry(rows.listenerCountLabel);

    contentHeight_ = rows.contentHeight;
    content_->setGeometry(0, 0, kWindowWidth, contentHeight_);
    root_->setFixedSize(kWindowWidth, contentHeight_);
    // Not resizable: the window is always exactly as big as its content, panel included.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void MainWindow::buildMenus() {
    menuBar()->clear();
    QMenu* app = menuBar()->addMenu("Lumeno");
    app->addAction("About Lumeno", this, &MainWindow::aboutRequested);
    app->addSeparator();
    app->addAction("Preferences...", QKeySequence("Ctrl+,"), this, &MainWindow::preferencesRequested);
    app->addSeparator();
    app->addAction("Hide Lumeno", QKeySequence("Ctrl+H"), this, [this] { showMinimized(); });
    app->addAction("Quit Lumeno", QKeySequence("Ctrl+Q"), this, &MainWindow::quitRequested);

    // Edit commands go to whichever text widget has the keyboard focus.
    QMenu* edit = menuBar()->addMenu("Edit");
    edit->addAction("Cut", QKeySequence("Ctrl+X"), this, [this] { editFocused("cut"); });
    edit->addAction("Copy", QKeySequence("Ctrl+C"), this, [this] { editFocused("copy"); });
    edit->addAction("Paste", QKeySequence("Ctrl+V"), this, [this] { editFocused("paste"); });
    edit->addAction("Select All", QKeySequence("Ctrl+A"), this, [this] { editFocused("selectAll"); });

    QMenu* help = menuBar()->addMenu("Help");
    QAction* helpAction = help->addAction("Lumeno Help", this, &MainWindow::helpRequested);
    helpAction->setShortcuts({QKeySequence("Ctrl+?"), QKeySequence(Qt::Key_F1)});
}

void MainWindow::editFocused(const char* slot) {
    // Text widgets offer cut, copy, paste and selectAll as slots; other widgets ignore the call.
    if (QWidget* focused = QApplication::focusWidget())
        QMetaObject::invokeMethod(focused, slot, Qt::DirectConnection);
}

void MainWindow::setStatus(const QString& text, SystemColor color) {
    statusLabel_->setText(text);
    setTextColor(statusLabel_, color);
}

void MainWindow::setStreamButtonTitle(const QString& title) { streamButton_->setText(title); }
void MainWindow::setAutoGainChecked(bool checked) { autoGainToggle_->setChecked(checked); }
void MainWindow::setSpeechChecked(bool checked) { speechToggle_->setChecked(checked); }

void MainWindow::setDevices(const std::vector<Device>& devices) {
    devices_ = devices;
    devicePopup_->clear();
    const QFontMetrics metrics(devicePopup_->font());
    for (const Device& device : devices_) {
        const QString full = QString::fromStdString(device.title);
        devicePopup_->addItem(metrics.elidedText(full, Qt::ElideRight, kPopupTextSpace));
        devicePopup_->setItemData(devicePopup_->count() - 1, full, Qt::ToolTipRole);
    }
    // Fits the list, not the closed pop-up: full names are readable there.
    devicePopup_->view()->setMinimumWidth(devicePopup_->view()->sizeHintForColumn(0) + 8);
    devicePopup_->setToolTip(devicePopup_->itemData(devicePopup_->currentIndex(), Qt::ToolTipRole).toString());
}

void MainWindow::selectDevice(int index) {
    devicePopup_->setCurrentIndex(index);
    devicePopup_->setToolTip(devicePopup_->itemData(index, Qt::ToolTipRole).toString());
}

QString MainWindow::deviceTitle(int index) const {
    if (index < 0 || index >= static_cast<int>(devices_.size())) return {};
    return QString::fromStdString(devices_[index].title);
}

const std::string& MainWindow::deviceUniqueID(int index) const {
    static const std::string none;
    return index >= 0 && index < static_cast<int>(devices_.size()) ? devices_[index].uniqueID : none;
}

void MainWindow::updateLevel(float level) { levelMeter_->updateLevel(level); }

void MainWindow::setListenerCount(const QString& text, SystemColor color) {
    listenerCountLabel_->setText(text);
    setTextColor(listenerCountLabel_, color);
}

void MainWindow::setAddress(const QString& text, bool qrEnabled) {
    ipLabel_->setText(text);
    qrButton_->setEnabled(qrEnabled);
}

void MainWindow::setTranscriptButtonTinted(bool tinted) {
    transcriptButton_->setIcon(bubbleIcon(tinted ? palette().color(QPalette::Highlight)
                                                 : palette().color(QPalette::ButtonText)));
    transcriptButton_->setProperty("tinted", tinted);
}

void MainWindow::showTranscriptPanel() {
    if (panelTarget_ || !isVisible()) return;
    log_.line("📝 Starting transcript panel slide-in animation...");
    if (!panel_) {
        panelBackground_ = new QWidget(root_);
        panelBackground_->setObjectName("panelBackground");
        panelBackground_->setAutoFillBackground(true);
        QPalette sidebar = panelBackground_->palette();
        sidebar.setColor(QPalette::Window, sidebar.color(QPalette::Window).darker(isDark(sidebar) ? 80 : 104));
        panelBackground_->setPalette(sidebar);
        separator_ = new QWidget(root_);
        separator_->setObjectName("panelSeparator");
        separator_->setAutoFillBackground(true);
        QPalette line = separator_->palette();
        line.setColor(QPalette::Window, systemColor(SystemColor::separator, palette()));
        separator_->setPalette(line);
        panel_ = panelFactory_ ? panelFactory_(root_) : new QWidget(root_);
        panel_->setObjectName(panel_->objectName().isEmpty() ? "transcriptPanel" : panel_->objectName());
        for (QWidget* view : {panelBackground_.data(), separator_.data(), panel_.data()}) view->show();
    }
    slideTo(true);
    setTranscriptButtonTinted(true);
    log_.line("📝 Transcript sidebar sliding in with window resize");
}

void MainWindow::hideTranscriptPanel() {
    if (!panelTarget_ || !panel_) return;
    log_.line("📝 Starting transcript panel slide-out animation...");
    slideTo(false);
    setTranscriptButtonTinted(false);
    log_.line("📝 Transcript sidebar sliding out with window resize");
}

void MainWindow::slideTo(bool open) {
    panelTarget_ = open;
    // A slide under way turns round from where it is, so the last request always wins.
    slide_->stop();
    slide_->setStartValue(panelProgress_);
    slide_->setEndValue(open ? 1.0 : 0.0);
    slide_->start();
}

void MainWindow::applyPanelProgress(double progress) {
    panelProgress_ = progress;
    const int panelWidth = static_cast<int>(std::lround(kPanelWidth * progress));
    root_->setFixedSize(kWindowWidth + panelWidth, contentHeight_);
    if (panel_) {
        panelBackground_->setGeometry(kWindowWidth, 0, panelWidth, contentHeight_);
        separator_->setGeometry(kWindowWidth, 0, 1, contentHeight_);
        panel_->setGeometry(kWindowWidth + 1, 0, std::max(0, panelWidth - 1), contentHeight_);
    }
}

void MainWindow::slideFinished() {
    if (panelTarget_) {
        log_.line("✅ Transcript panel slide-in animation complete");
        return;
    }
    for (QWidget* view : {panel_.data(), panelBackground_.data(), separator_.data()}) delete view;
    log_.line("✅ Transcript panel slide-out animation complete");
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shownOnce_) return;
    shownOnce_ = true;
    // The control a booth operator reaches for first: Space starts and stops streaming.
    streamButton_->setFocus();
    emit firstShown(root_->width());
}

void MainWindow::closeEvent(QCloseEvent* event) {
    emit closeRequested();
    event->accept();
}

}  // namespace lumeno::ui
