#include "shell/progress_window.h"

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QThread>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "shell/qt_messages.h"

namespace ephys {

namespace {

QColor colourOf(std::uint32_t rgb) {
    return QColor(static_cast<int>((rgb >> 16) & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                  static_cast<int>(rgb & 0xFF));
}

int roundToInt(double x) {
    return static_cast<int>(std::lround(x));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The bar

ProgressBarWidget::ProgressBarWidget(QWidget* parent, QColor barColor, QColor backColor)
    : QFrame(parent), barColor_(barColor), backColor_(backColor) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setObjectName(QString::number(kProgressBar));
}

void ProgressBarWidget::setPercent(int percent) {
    percent = std::clamp(percent, 0, 100);
    if (percent == percent_) return;
    percent_ = percent;
    QWidget::update();
}

int ProgressBarWidget::fillWidth(int percent, int width) {
    // percent × width / 100 rounded half away from zero, as MulDiv rounds.
    const long long product = static_cast<long long>(percent) * width;
    return static_cast<int>(product >= 0 ? (product + 50) / 100 : (product - 50) / 100);
}

void ProgressBarWidget::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    const QRect inner = contentsRect();
    if (inner.isEmpty()) return;
    QPainter painter(this);
    painter.translate(inner.topLeft());
    const int width = inner.width(), height = inner.height();
    const int x = std::clamp(fillWidth(percent_, width), 0, width);

    char label[16];
    std::snprintf(label, sizeof label, "%d %% ", percent_);
    const QString text = QString::fromLatin1(label);
    painter.setFont(font());
    const QFontMetrics metrics(font());
    const int textX = (width - metrics.horizontalAdvance(text)) / 2;
    const int baseline = roundToInt(0.75 * height);

    // The same label twice, each clipped to its part: background colour on the filled part,
    // bar colour on the rest, so the label changes colour where the fill ends.
    painter.setClipRect(QRect(0, 0, x, height));
    painter.fillRect(QRect(0, 0, x, height), barColor_);
    painter.setPen(backColor_);
    painter.drawText(textX, baseline, text);
    painter.setClipRect(QRect(x, 0, width - x, height));
    painter.fillRect(QRect(x, 0, width - x, height), backColor_);
    painter.setPen(barColor_);
    painter.drawText(textX, baseline, text);
}

// ---------------------------------------------------------------------------------------------
// The box

ProgressWindow::ProgressWindow(ProgressRecord& record, QWidget* owner)
    : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint), record_(record) {
    setObjectName(QStringLiteral("Progress"));
    setWindowTitle(QStringLiteral("Progress"));

    // The record asks for a small pixel height (the shell sets 10); on a modern screen the box
    // is never set in a smaller font than the rest of the application.
    const QFont boxFont = qtFontFromFace(
        record.fontFace, std::max({record.fontHeight, QFontInfo(QApplication::font()).pixelSize(), 8}));
    setFont(boxFont);
    const QFontMetrics metrics(boxFont);
    textHeight_ = metrics.height();
    const int th = textHeight_;

    // Dialog units follow the box font, never smaller than those of the classic 8-point font.
    const double unitX = std::max(1.5, metrics.averageCharWidth() / 4.0);
    const double unitY = std::max(1.625, th / 8.0);
    const int width = std::max(roundToInt(record.boxWidth * unitX), 8 * th);
    buttonHeight_ = th + 8;
    const double barTop = std::clamp(static_cast<double>(record.barTop), 0.1, 0.9);
    const int barHeight = roundToInt(1.5 * th);
    // Tall enough for both lines above the bar and the button row under it.
    const int linesBottom = roundToInt(0.4 * th + 1.1 * th + 1.2 * th) + th / 4;
    const int belowBar = barHeight + th / 2 + buttonHeight_ + roundToInt(0.4 * th);
    int height = roundToInt(record.boxHeight * unitY);
    height = std::max(height, static_cast<int>(std::ceil(linesBottom / (1.0 - barTop))));
    height = std::max(height, static_cast<int>(std::ceil(belowBar / barTop)));

    record.barHeight = static_cast<float>(1.5 * th / height);
    record.buttonWidth = roundToInt(3.6 * th);
    record.buttonHeight = th;

    line1_ = new QLabel(this);
    line1_->setObjectName(QString::number(kProgressLine1));
    line1_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    line1_->setGeometry(0, roundToInt(0.4 * th), width, roundToInt(1.2 * th));
    line2_ = new QLabel(this);
    line2_->setObjectName(QString::number(kProgressLine2));
    line2_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    line2_->setGeometry(0, roundToInt(1.5 * th), width, roundToInt(1.2 * th));

    bar_ = new ProgressBarWidget(this, colourOf(record.barColor), colourOf(record.backColor));
    const int barY = roundToInt(height * (1.0 - barTop));
    bar_->setGeometry(roundToInt(width * record.barMargin), barY,
                      roundToInt(width * (1.0 - 2.0 * record.barMargin)), barHeight);
    buttonsTop_ = barY + barHeight + th / 2;

    for (int i = 0; i < 4; ++i) {
        const int id = kProgressExtraButton1 + i;
        extra_[static_cast<std::size_t>(i)] = new QPushButton(this);
        QPushButton* button = extra_[static_cast<std::size_t>(i)];
        button->setObjectName(QString::number(id));
        button->setText(qtTextFromBytes(record.extraCaptions[static_cast<std::size_t>(i)]));
        button->hide();
        connect(button, &QPushButton::clicked, this, [this, id] { progressPress(record_, id); });
    }
    cancel_ = new QPushButton(QStringLiteral("&Cancel"), this);
    cancel_->setObjectName(QString::number(kProgressCancel));
    cancel_->setDefault(true);
    connect(cancel_, &QPushButton::clicked, this, [this] { progressPress(record_, kProgressCancel); });
    cancelWidth_ = std::max(record.buttonWidth, metrics.horizontalAdvance(QStringLiteral("Cancel")) + th);

    setFixedSize(width, height);
    QPoint position(roundToInt(record.boxX * unitX), roundToInt(record.boxY * unitY));
    if (owner != nullptr) position = owner->mapToGlobal(position);
    move(position);

    record.view = this;
    record.boxOpen = 1;
    progressUpdate(record);
}

ProgressWindow::~ProgressWindow() {
    if (record_.view == this) record_.view = nullptr;
}

void ProgressWindow::open() {
    record_.percent = 1;
    record_.boxOpen = 1;
    show();
    raise();
    progressUpdate(record_);
}

void ProgressWindow::openFresh() {
    record_.line1.clear();
    record_.line2.clear();
    record_.hasExtraButtons = 0;
    open();
}

void ProgressWindow::update(const ProgressSnapshot& snapshot) {
    if (QThread::currentThread() == thread()) {
        apply(snapshot);
        return;
    }
    // Only the GUI thread touches the widgets: keep the newest snapshot and ask for one refresh.
    std::lock_guard lock(pendingMutex_);
    pending_ = snapshot;
    if (queued_) return;
    queued_ = true;
    QMetaObject::invokeMethod(
        this, [this] { applyPending(); }, Qt::QueuedConnection);
}

void ProgressWindow::applyPending() {
    std::optional<ProgressSnapshot> snapshot;
    {
        std::lock_guard lock(pendingMutex_);
        snapshot.swap(pending_);
        queued_ = false;
    }
    if (snapshot) apply(*snapshot);
}

void ProgressWindow::apply(const ProgressSnapshot& snapshot) {
    bar_->setPercent(snapshot.percent);
    line1_->setText(qtTextFromBytes(snapshot.line1));
    line2_->setText(qtTextFromBytes(snapshot.line2));
    line1_->setVisible(snapshot.showLine1);
    line2_->setVisible(snapshot.showLine2);
    layoutButtons(snapshot);
    shown_ = snapshot;
    QWidget::update();
}

void ProgressWindow::layoutButtons(const ProgressSnapshot& s) {
    const int extras = s.hasExtraButtons ? std::clamp(s.extraButtonCount, 1, 4) : 0;
    const int n = 1 + extras;
    const int boxWidth = width();
    int buttonWidth = cancelWidth_;
    if (n * buttonWidth > 0.8 * boxWidth) buttonWidth = static_cast<int>(0.8 * boxWidth / n);
    const int gap = (boxWidth - n * buttonWidth) / (n + 1);
    for (int i = 0; i < 4; ++i) {
        QPushButton* button = extra_[static_cast<std::size_t>(i)];
        if (i < extras) {
            button->setText(qtTextFromBytes(s.extraCaptions[static_cast<std::size_t>(i)]));
            button->setGeometry(gap + i * (gap + buttonWidth), buttonsTop_, buttonWidth, buttonHeight_);
            button->show();
        } else {
            button->hide();
        }
    }
    cancel_->setGeometry(gap + extras * (gap + buttonWidth), buttonsTop_, buttonWidth, buttonHeight_);
    cancel_->setVisible(s.showCancel);
    // The stepping buttons take the keyboard focus when they appear and whenever the run asks.
    if (extras > 0 && (!shown_.hasExtraButtons || s.focusRequests != focusRequestsSeen_)) {
        extra_[0]->setFocus(Qt::OtherFocusReason);
    }
    focusRequestsSeen_ = s.focusRequests;
}

void ProgressWindow::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    // No caption bar: a thin frame marks the box's edge.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void ProgressWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    // The box has no caption bar: it is dragged by its client area.
    if (windowHandle() != nullptr && windowHandle()->startSystemMove()) return;
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void ProgressWindow::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_ && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - dragOffset_);
}

void ProgressWindow::mouseReleaseEvent(QMouseEvent* event) {
    dragging_ = false;
    QWidget::mouseReleaseEvent(event);
}

void ProgressWindow::keyPressEvent(QKeyEvent* event) {
    // Enter presses the focused button, or "&Cancel", the default button.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        auto* focused = qobject_cast<QPushButton*>(focusWidget());
        QPushButton* target = focused != nullptr && focused->isVisible() ? focused : cancel_;
        if (target->isVisible()) target->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace ephys
