#include "shell/param_dialog.h"

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "params/param_files.h"
#include "shell/qt_messages.h"

namespace ephys {

namespace {

int roundToInt(double x) {
    return static_cast<int>(std::lround(x));
}

QString idName(int id) {
    return QString::number(id);
}

// Pixels per horizontal dialog unit. The record's widths are in the units of the classic 8-point
// dialog font (already scaled by the program to its font size), about 1.75 pixels on a 96 dpi
// screen; labels that still do not fit widen the dialog.
double dialogUnit(const QWidget& widget) {
    const double dpi = widget.logicalDpiX() > 0 ? widget.logicalDpiX() : 96.0;
    return std::max(1.5, 1.75 * dpi / 96.0);
}

ParamFileChooser& fileChooser() {
    static ParamFileChooser chooser;
    return chooser;
}

std::string fileTitleWithoutExtension(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    std::string title = slash == std::string::npos ? path : path.substr(slash + 1);
    if (const std::size_t dot = title.rfind('.'); dot != std::string::npos) title.resize(dot);
    return title;
}

std::string extensionLower(const DialogRecord& record) {
    std::string ext = record.fileExtension;
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

std::string chooseParamFile(QWidget* parent, bool save, const DialogRecord& record,
                            const std::string& startDir) {
    if (const ParamFileChooser& chooser = fileChooser(); chooser)
        return chooser(parent, save, record, startDir);
    QFileDialog box(parent);
    box.setNameFilter(paramQtFilter(record));
    if (!startDir.empty()) box.setDirectory(qtTextFromBytes(startDir));
    box.setDefaultSuffix(qtTextFromBytes(extensionLower(record)));
    if (save) {
        box.setAcceptMode(QFileDialog::AcceptSave);
        box.setFileMode(QFileDialog::AnyFile);
        if (!record.setName.empty()) box.selectFile(qtTextFromBytes(record.setName));
    } else {
        box.setAcceptMode(QFileDialog::AcceptOpen);
        box.setFileMode(QFileDialog::ExistingFile);
    }
    if (box.exec() != QDialog::Accepted || box.selectedFiles().isEmpty()) return {};
    return qtBytesFromText(box.selectedFiles().front());
}

// Asks for a parameter file, keeping the process's current directory as it was.
std::string askParamFile(QWidget* owner, bool save, DialogRecord& record) {
    const QString keptDirectory = QDir::currentPath();
    std::string path = chooseParamFile(owner, save, record, paramStartDirectory(record.paramDirectory));
    QDir::setCurrent(keptDirectory);
    return path;
}

}  // namespace

// One control of a page, where it stands (dialog coordinates) and what it shows.
struct ParamDialog::Control {
    enum Kind { Edit, Label, Check, Group, Radio } kind = Edit;
    int row = 0;
    int group = -1;
    int option = -1;
    QRect rect;  // radio buttons: relative to their group box
    QString text;
};

struct ParamDialog::PageLayout {
    std::vector<Control> controls;
    int bottom = 0;
    bool tooManyGroups = false;
};

// The widgets of one row of the page shown.
struct ParamDialog::BuiltRow {
    int row = 0;
    QLineEdit* edit = nullptr;
    QCheckBox* check = nullptr;
    std::vector<QRadioButton*> radios;
};

// ---------------------------------------------------------------------------------------------
// Layout

ParamDialog::PageLayout ParamDialog::layoutPage(int page) const {
    PageLayout layout;
    const ParamTable& table = *record_.table;
    const QFontMetrics metrics(font());
    const double th = textHeight_;
    const double w = width_ / 100.0;
    const int h = rowHeight_;
    const int editLeft = roundToInt(record_.editLeftPct * w);
    const int editWidth = roundToInt(record_.editWidthPct * w);
    const int labelLeft = roundToInt(record_.labelLeftPct * w);
    const int labelWidth = roundToInt(record_.labelWidthPct * w);
    const int wideWidth = roundToInt((record_.editWidthPct + record_.labelWidthPct) * w);
    double y = 0.6 * th + tabHeaderHeight_ + pageTop_;
    int groups = 0;

    const PageSpan span = table.pageCount() == 0 ? PageSpan{0, static_cast<int>(table.rows.size())}
                                                 : paramPageOf(table, static_cast<std::size_t>(page));
    for (int r = span.firstRow; r < span.firstRow + span.rowCount; ++r) {
        const ParamRow& row = table.rows[static_cast<std::size_t>(r)];
        const int top = roundToInt(y);
        switch (row.kind()) {
            case PK_TEXT:
            case PK_INT:
            case PK_FLOAT: {
                layout.controls.push_back({Control::Edit, r, -1, -1, QRect(editLeft, top, editWidth, h), {}});
                layout.controls.push_back({Control::Label, r, -1, -1,
                                           QRect(labelLeft, roundToInt(y + th / 4), labelWidth, h),
                                           qtTextFromBytes(row.label)});
                y += 1.3 * h;
                break;
            }
            case PK_YESNO:
            case PK_BOOL:
                layout.controls.push_back({Control::Check, r, -1, -1, QRect(editLeft, top, wideWidth, h),
                                           qtTextFromBytes(row.label)});
                y += 1.3 * h;
                break;
            case PK_CHOICE: {
                if (groups == kDialogMaxGroups) {
                    layout.tooManyGroups = true;
                    r = span.firstRow + span.rowCount;  // the rest of the page stays empty
                    break;
                }
                const int g = groups++;
                // The radio buttons stand below the group's caption, and the group is tall
                // enough for one line of them; the style decides how much room its caption takes.
                const double radioTop = std::max(0.9 * th, static_cast<double>(groupContentTop_));
                double groupHeight = std::max(2.2 * h - th / 2, radioTop + h + groupContentBottom_);
                double extra = 0;
                const std::vector<std::string> options = paramChoiceOptions(row);
                double x = record_.radioIndent;
                double radioY = radioTop;
                std::vector<Control> radios;
                for (std::size_t k = 0; k < options.size() && k < kDialogMaxRadios; ++k) {
                    const QString caption = qtTextFromBytes(options[k]);
                    const int radioWidth = metrics.horizontalAdvance(caption) + radioExtraWidth_;
                    // A button that would pass the group's right edge starts a new line.
                    if (x > record_.radioIndent && x + radioWidth > wideWidth) {
                        x = record_.radioIndent;
                        radioY += 1.2 * th;
                        groupHeight += 1.2 * th;
                        extra += 1.2 * th;
                    }
                    radios.push_back({Control::Radio, r, g, static_cast<int>(k),
                                      QRect(roundToInt(x), roundToInt(radioY), radioWidth, h), caption});
                    x += radioWidth + record_.radioGap;
                }
                layout.controls.push_back({Control::Group, r, g, -1,
                                           QRect(editLeft, top, wideWidth, roundToInt(groupHeight)),
                                           qtTextFromBytes(paramChoiceTitle(row))});
                layout.controls.insert(layout.controls.end(), radios.begin(), radios.end());
                y += groupHeight + th / 2;
                break;
            }
            default:
                break;
        }
    }
    for (const Control& c : layout.controls)
        if (c.kind != Control::Radio) layout.bottom = std::max(layout.bottom, c.rect.bottom() + 1);
    return layout;
}

void ParamDialog::measure() {
    const QFontMetrics metrics(font());
    textHeight_ = metrics.size(Qt::TextSingleLine, QStringLiteral("Abc")).height();
    const double th = textHeight_;
    const ParamTable& table = *record_.table;
    const int pages = std::max<int>(1, static_cast<int>(table.pageCount()));

    // Edit boxes are 1.3 text heights tall, never less than the style needs to show their text.
    QLineEdit probe;
    probe.setFont(font());
    rowHeight_ = std::max(roundToInt(1.3 * th), probe.minimumSizeHint().height());
    pageTop_ = roundToInt(3 * th);
    buttonHeight_ = textHeight_;
    buttonWidth_ = roundToInt(3.6 * th);
    // The style's check and radio marks do not grow with the font; at large fonts they are
    // drawn larger so they stay in proportion to their captions.
    const int styleMark = style()->pixelMetric(QStyle::PM_IndicatorWidth);
    const int mark = std::max(styleMark, roundToInt(0.6 * th));
    if (mark > styleMark) {
        setStyleSheet(
            QStringLiteral("QCheckBox::indicator, QRadioButton::indicator { width: %1px; height: %1px; }")
                .arg(mark));
    }
    const int indicator = std::max(mark, style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth)) +
                          style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing) + roundToInt(th / 2);
    radioExtraWidth_ = std::max(record_.radioExtraWidth, indicator);
    QGroupBox groupProbe(QStringLiteral("Abc"));
    groupProbe.setFont(font());
    groupProbe.resize(20 * textHeight_, 5 * textHeight_);
    const QRect inside = groupProbe.contentsRect();
    groupContentTop_ = inside.top();
    groupContentBottom_ = groupProbe.height() - inside.bottom() - 1;

    // Width: the record's dialog units, widened until every label, check box caption, group
    // title, radio button, tab and command button fits.
    double needed = record_.dialogWidth * dialogUnit(*this);
    const double labelShare = std::max(1, record_.labelWidthPct) / 100.0;
    const double wideShare = std::max(1, record_.editWidthPct + record_.labelWidthPct) / 100.0;
    const int checkExtra = mark + style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing) + 8;
    for (const ParamRow& row : table.rows) {
        const QString label = qtTextFromBytes(row.label);
        switch (row.kind()) {
            case PK_TEXT:
            case PK_INT:
            case PK_FLOAT:
                needed = std::max(needed, (metrics.horizontalAdvance(label) + 6) / labelShare);
                break;
            case PK_YESNO:
            case PK_BOOL:
                needed = std::max(needed, (metrics.horizontalAdvance(label) + checkExtra) / wideShare);
                break;
            case PK_CHOICE: {
                const QString title = qtTextFromBytes(paramChoiceTitle(row));
                needed = std::max(needed, (metrics.horizontalAdvance(title) + 2 * th) / wideShare);
                for (const std::string& option : paramChoiceOptions(row)) {
                    const int radioWidth =
                        metrics.horizontalAdvance(qtTextFromBytes(option)) + radioExtraWidth_;
                    needed = std::max(needed, (radioWidth + record_.radioIndent + 4) / wideShare);
                }
                break;
            }
            default:
                break;
        }
    }
    int buttons = 2 + (record_.hasGo ? 1 : 0) + (record_.hasOpen ? 1 : 0) + (record_.hasPrefs ? 1 : 0) +
                  (record_.showSave ? 1 : 0) + (record_.showRead ? 1 : 0) -
                  (record_.mainWindowMode == 'N' ? 1 : 0);
    int widestCaption = 0;
    for (const char* caption : {"Go", "OK", "Cancel", "Read", "Save", "Open", "Prefs.", "Exit"})
        widestCaption = std::max(widestCaption, metrics.horizontalAdvance(QString::fromLatin1(caption)));
    needed = std::max(needed, buttons * (widestCaption + th) / 0.9);
    std::string caption = record_.title;
    if (!record_.setName.empty()) caption += " - " + record_.setName;
    needed = std::max(needed, (metrics.horizontalAdvance(qtTextFromBytes(caption)) + 8) / (1.0 - 2 * 0.112));
    if (pages > 1) {
        tabs_ = new QTabBar(this);
        tabs_->setObjectName(idName(kDialogTabs));
        tabs_->setFont(font());
        for (int p = 0; p < pages; ++p) {
            const std::string name = static_cast<std::size_t>(p) < table.pageNames.size()
                                         ? table.pageNames[static_cast<std::size_t>(p)]
                                         : "";
            tabs_->addTab(qtTextFromBytes(name));
        }
        tabHeaderHeight_ = tabs_->sizeHint().height();
        needed = std::max(needed, static_cast<double>(tabs_->sizeHint().width() + 8));
    }
    width_ = static_cast<int>(std::ceil(needed));

    // The page area is as tall as the tallest page.
    pageHeight_ = pageTop_ + tabHeaderHeight_ + textHeight_;
    for (int p = 0; p < pages; ++p) pageHeight_ = std::max(pageHeight_, layoutPage(p).bottom);
}

void ParamDialog::placeButtons() {
    const auto button = [this](int id) {
        return findChild<QPushButton*>(idName(id), Qt::FindDirectChildrenOnly);
    };
    row_.clear();
    if (record_.hasGo) row_.push_back(button(kDialogGo));
    // Without parameter files (the preferences box) Read and Save keep their places, greyed.
    if (record_.showSave) row_.push_back(button(kDialogSave));
    if (record_.showRead) row_.push_back(button(kDialogRead));
    button(kDialogSave)->setEnabled(record_.hasReadSave != 0);
    button(kDialogRead)->setEnabled(record_.hasReadSave != 0);
    if (record_.hasOpen) row_.push_back(button(kDialogOpen));
    if (record_.hasPrefs) row_.push_back(button(kDialogPrefs));
    if (record_.mainWindowMode == 'N') {
        row_.push_back(button(kDialogExit));
    } else {
        row_.push_back(button(kDialogOk));
        row_.push_back(button(kDialogCancel));
    }
    const int count = static_cast<int>(row_.size());
    int width = buttonWidth_;
    if (count * width > width_) width = static_cast<int>(0.9 * width_ / count);
    const int gap = (width_ - count * width) / (count + 1);
    const int top = pageHeight_ + buttonHeight_ / 2;
    const int height = std::max(roundToInt(1.3 * buttonHeight_), textHeight_ + 6);
    for (QPushButton* b : findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly))
        if (b != minimize_) b->hide();
    for (int i = 0; i < count; ++i) {
        row_[static_cast<std::size_t>(i)]->setGeometry(gap + i * (gap + width), top, width, height);
        row_[static_cast<std::size_t>(i)]->show();
    }
    QPushButton* defaultButton = button(record_.mainWindowMode == 'N' ? kDialogExit : kDialogOk);
    defaultButton->setDefault(true);
    setFixedSize(width_, std::max(pageHeight_ + 3 * buttonHeight_, top + height + buttonHeight_ / 2));
}

// ---------------------------------------------------------------------------------------------
// Construction

ParamDialog::ParamDialog(DialogRecord& record, MessageSink& messages, QWidget* owner)
    : QDialog(owner), record_(record), messages_(messages) {
    static ParamTable emptyTable;
    if (record_.table == nullptr) record_.table = &emptyTable;
    // No caption bar: the title line and the "__" button stand in for it, and the dialog is
    // dragged by its client area. Without the main window the dialog is a top-level window of
    // its own, with a task-bar entry.
    const Qt::WindowFlags kind = record_.mainWindowMode == 'O' ? Qt::Dialog : Qt::Window;
    setWindowFlags(kind | Qt::FramelessWindowHint);
    setObjectName(QStringLiteral("FancyDialog"));
    if (owner != nullptr) setWindowIcon(owner->window()->windowIcon());

    setFont(qtFontFromFace(record_.fontFace, std::max(6, record_.fontHeight)));

    writeSnapshot();
    const int pages = std::max<int>(1, static_cast<int>(record_.table->pageCount()));
    record_.currentPage = std::clamp(record_.currentPage, 0, pages - 1);
    record_.inputRejected = 0;
    record_.focusedEdit = 0;
    measure();

    title_ = new QLabel(this);
    title_->setObjectName(idName(kDialogTitle));
    title_->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    title_->setFont(font());  // the title and the command buttons in the dialog font too
    title_->setGeometry(roundToInt(width_ * 0.112), roundToInt(0.2 * textHeight_), roundToInt(width_ * 0.776),
                        roundToInt(1.4 * textHeight_));

    if (tabs_ != nullptr) {
        // The tab pane fills the page area down to the bottom; the tabs sit on its top edge.
        pane_ = new QFrame(this);
        pane_->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
        tabs_->raise();
        tabs_->setGeometry(2, pageTop_, width_ - 4, tabHeaderHeight_);
        tabs_->setCurrentIndex(record_.currentPage);
        connect(tabs_, &QTabBar::currentChanged, this, &ParamDialog::onTabChanged);
    } else {
        // One page: no tabs, an etched line under the title instead.
        etchedLine_ = new QFrame(this);
        etchedLine_->setObjectName(QStringLiteral("etchedLine"));
        etchedLine_->setFrameShape(QFrame::HLine);
        etchedLine_->setFrameShadow(QFrame::Sunken);
        etchedLine_->setLineWidth(1);
        etchedLine_->setGeometry(roundToInt(width_ * 0.15), roundToInt(2.1 * textHeight_),
                                 roundToInt(width_ * 0.7), 2);
    }

    struct CommandButton {
        int id;
        const char* caption;
        void (ParamDialog::*command)();
    };
    const CommandButton buttons[] = {
        {kDialogGo, "&Go", &ParamDialog::pressGo},
        {kDialogOk, "OK", &ParamDialog::pressOk},
        {kDialogCancel, "Cancel", &ParamDialog::pressCancel},
        {kDialogExit, "E&xit", &ParamDialog::pressOk},
        {kDialogOpen, "&Open", &ParamDialog::pressOpen},
        {kDialogPrefs, "&Prefs.", &ParamDialog::pressPrefs},
        {kDialogRead, "&Read", &ParamDialog::pressRead},
        {kDialogSave, "&Save", &ParamDialog::pressSave},
    };
    for (const CommandButton& entry : buttons) {
        auto* b = new QPushButton(QString::fromLatin1(entry.caption), this);
        b->setObjectName(idName(entry.id));
        b->setFont(font());
        connect(b, &QPushButton::clicked, this, entry.command);
    }
    auto* neverPlaced = new QPushButton(QStringLiteral("Mi&nimize"), this);
    neverPlaced->setObjectName(idName(kDialogMinimizeHidden));
    connect(neverPlaced, &QPushButton::clicked, this, &QWidget::showMinimized);
    if (record_.mainWindowMode != 'O') {
        minimize_ = new QPushButton(QStringLiteral("__"), this);
        minimize_->setObjectName(idName(kDialogMinimize));
        minimize_->setAutoDefault(false);
        minimize_->setGeometry(roundToInt(width_ * (1 - 0.07 * 1.6)), roundToInt(0.2 * textHeight_),
                               roundToInt(width_ * 0.07 * 1.2), roundToInt(1.4 * textHeight_));
        connect(minimize_, &QPushButton::clicked, this, &QWidget::showMinimized);
    }
    placeButtons();
    if (pane_ != nullptr) {
        const int top = pageTop_ + tabHeaderHeight_ - 1;
        pane_->setGeometry(2, top, width_ - 4, height() - top - 3);
        pane_->lower();
    }

    updateCaption();
    buildPage(record_.currentPage);

    const double unit = dialogUnit(*this);
    QPoint position(roundToInt(record_.dialogX * unit), roundToInt(record_.dialogY * unit));
    if (owner != nullptr) position = owner->mapToGlobal(position);
    move(position);
}

ParamDialog::~ParamDialog() {
    closing_ = true;
    destroyPage();
    removeSnapshot();
}

std::vector<QPushButton*> ParamDialog::buttonRow() const {
    std::vector<QPushButton*> visible;
    for (QPushButton* b : row_)
        if (!b->isHidden()) visible.push_back(b);
    return visible;
}

void ParamDialog::updateCaption() {
    std::string caption = record_.title;
    if (!record_.setName.empty()) caption += " - " + record_.setName;
    const QString text = qtTextFromBytes(caption);
    setWindowTitle(text);
    title_->setText(text);
}

// ---------------------------------------------------------------------------------------------
// Pages

void ParamDialog::buildPage(int page) {
    const PageLayout layout = layoutPage(page);
    const int top = pageTop_ + tabHeaderHeight_;
    page_ = std::make_unique<QWidget>(this);
    page_->setGeometry(0, top, width_, std::max(1, pageHeight_ - top + 2));
    page_->setFont(font());
    const ParamTable& table = *record_.table;
    std::vector<QGroupBox*> groups;
    for (const Control& c : layout.controls) {
        const ParamRow& row = table.rows[static_cast<std::size_t>(c.row)];
        const QRect rect = c.rect.translated(0, -top);
        switch (c.kind) {
            case Control::Edit: {
                auto* edit = new QLineEdit(page_.get());
                edit->setObjectName(idName(kDialogEditBase + c.row));
                edit->setFont(font());  // every control in the dialog font
                edit->setGeometry(rect);
                edit->setText(qtTextFromBytes(paramFormatValue(table, static_cast<std::size_t>(c.row))));
                edit->setCursorPosition(0);
                edit->installEventFilter(this);
                built_.push_back({c.row, edit, nullptr, {}});
                break;
            }
            case Control::Label: {
                auto* label = new QLabel(c.text, page_.get());
                label->setObjectName(idName(kDialogLabelBase + c.row));
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                label->setFont(font());  // every control in the dialog font
                label->setGeometry(rect);
                break;
            }
            case Control::Check: {
                auto* check = new QCheckBox(c.text, page_.get());
                check->setObjectName(idName(kDialogEditBase + c.row));
                check->setFont(font());  // every control in the dialog font
                check->setGeometry(rect);
                check->setChecked(row.kind() == PK_YESNO ? row.letter() == 'Y' : row.integer() != 0);
                built_.push_back({c.row, nullptr, check, {}});
                break;
            }
            case Control::Group: {
                auto* group = new QGroupBox(c.text, page_.get());
                group->setObjectName(idName(kDialogGroupBase + c.group));
                group->setFont(font());  // every control in the dialog font
                group->setGeometry(rect);
                groups.push_back(group);
                built_.push_back({c.row, nullptr, nullptr, {}});
                break;
            }
            case Control::Radio: {
                auto* radio = new QRadioButton(c.text, groups.back());
                radio->setObjectName(idName(kDialogRadioBase + 15 * c.group + c.option));
                radio->setFont(font());  // every control in the dialog font
                radio->setGeometry(c.rect);
                const char* keys = row.keys != nullptr ? row.keys : "";
                const bool ticked =
                    static_cast<std::size_t>(c.option) < std::char_traits<char>::length(keys) &&
                    keys[c.option] == row.letter();
                radio->setChecked(ticked);
                built_.back().radios.push_back(radio);
                break;
            }
        }
    }
    page_->show();
    if (layout.tooManyGroups) messages_.errorBox("Too many group items on tabkit dlg page.");
}

void ParamDialog::destroyPage() {
    rebuilding_ = true;
    built_.clear();
    page_.reset();
    record_.focusedEdit = 0;
    rebuilding_ = false;
}

void ParamDialog::rebuildPage() {
    destroyPage();
    buildPage(record_.currentPage);
}

void ParamDialog::readPageBack() {
    const ParamTable& table = *record_.table;
    for (const BuiltRow& b : built_) {
        const ParamRow& row = table.rows[static_cast<std::size_t>(b.row)];
        if (b.edit != nullptr) {
            std::string text = qtBytesFromText(b.edit->text());
            if (row.kind() == PK_TEXT) {
                if (text.size() > kParamTextLength) text.resize(kParamTextLength);
                row.text() = text;
            } else {
                paramParseValue(table, static_cast<std::size_t>(b.row), text);
            }
        } else if (b.check != nullptr) {
            if (row.kind() == PK_YESNO)
                row.letter() = b.check->isChecked() ? 'Y' : 'N';
            else
                row.integer() = b.check->isChecked() ? 1 : 0;
        } else {
            const char* keys = row.keys != nullptr ? row.keys : "";
            for (std::size_t k = 0; k < b.radios.size(); ++k)
                if (b.radios[k]->isChecked() && k < std::char_traits<char>::length(keys))
                    row.letter() = keys[k];
        }
    }
}

QLineEdit* ParamDialog::editOfRow(int row) const {
    for (const BuiltRow& b : built_)
        if (b.row == row && b.edit != nullptr) return b.edit;
    return nullptr;
}

void ParamDialog::onTabChanged(int index) {
    if (rebuilding_ || index == record_.currentPage) return;
    if (!checkFocusedEdit()) {
        // A refused entry keeps its page on screen.
        const QSignalBlocker blocker(tabs_);
        tabs_->setCurrentIndex(record_.currentPage);
        return;
    }
    readPageBack();
    destroyPage();
    record_.previousPage = record_.currentPage;
    record_.currentPage = index;
    buildPage(index);
}

// ---------------------------------------------------------------------------------------------
// Checking typed values

bool ParamDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::FocusIn && event->type() != QEvent::FocusOut)
        return QDialog::eventFilter(watched, event);
    if (rebuilding_ || closing_) return false;
    int row = -1;
    for (const BuiltRow& b : built_)
        if (b.edit == watched) row = b.row;
    if (row < 0) return false;
    if (event->type() == QEvent::FocusIn) {
        record_.focusedEdit = kDialogEditBase + row;
        return false;
    }
    // A context menu, another window or the Cancel button taking the focus is not the end of an
    // entry (Cancel throws every entry away anyway).
    const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason == Qt::PopupFocusReason || reason == Qt::ActiveWindowFocusReason) return false;
    const QWidget* next = QApplication::focusWidget();
    if (next != nullptr && next->objectName() == idName(kDialogCancel) && next->parent() == this)
        return false;
    checkEdit(row);
    return false;
}

bool ParamDialog::checkEdit(int row) {
    if (pendingRejectRow_ >= 0) return false;  // a refusal is already waiting to be shown
    QLineEdit* edit = editOfRow(row);
    if (edit == nullptr) return true;
    const ParamTable& table = *record_.table;
    std::string text = qtBytesFromText(edit->text());
    if (paramCheckText(table, static_cast<std::size_t>(row), text)) {
        const QString canonical =
            qtTextFromBytes(paramAcceptText(table, static_cast<std::size_t>(row), text));
        if (canonical != edit->text()) edit->setText(canonical);
        record_.inputRejected = 0;
        return true;
    }
    record_.inputRejected = 1;
    pendingRejectRow_ = row;
    // The message, the old text and the focus wait until the focus change has settled.
    QTimer::singleShot(0, this, &ParamDialog::handleRejection);
    return false;
}

bool ParamDialog::checkFocusedEdit() {
    if (pendingRejectRow_ >= 0) return false;
    if (record_.focusedEdit == 0) return true;
    return checkEdit(record_.focusedEdit - kDialogEditBase);
}

void ParamDialog::handleRejection() {
    const int row = pendingRejectRow_;
    if (row < 0 || closing_) {
        pendingRejectRow_ = -1;
        return;
    }
    const ParamTable& table = *record_.table;
    if (record_.messageBoxOn) {
        messages_.show(MessageKind::ParameterError, kParameterErrorCaption,
                       paramErrorText(table.rows[static_cast<std::size_t>(row)]));
    } else if (record_.beepOn) {
        QApplication::beep();
    }
    if (QLineEdit* edit = editOfRow(row); edit != nullptr) {
        edit->setText(qtTextFromBytes(paramFormatValue(table, static_cast<std::size_t>(row))));
        edit->setFocus(Qt::OtherFocusReason);
        edit->selectAll();
    }
    pendingRejectRow_ = -1;
}

// ---------------------------------------------------------------------------------------------
// Commands

void ParamDialog::pressOk() {
    if (closing_ || !checkFocusedEdit()) return;
    readPageBack();
    finish(DialogResult::Ok);
}

void ParamDialog::pressCancel() {
    if (closing_) return;
    closing_ = true;
    // Every change since the dialog opened, or since the last Go, is undone.
    if (!snapshotPath_.empty()) paramLoad(kParametersSection, *record_.table, snapshotPath_);
    finish(DialogResult::Cancel);
}

void ParamDialog::accept() {
    pressOk();
}
void ParamDialog::reject() {
    pressCancel();
}

void ParamDialog::pressGo() {
    if (closing_ || !record_.hasGo || !checkFocusedEdit()) return;
    readPageBack();
    writeSnapshot();
    if (record_.closeOnGo) {
        finish(DialogResult::ClosedByGo);
        return;
    }
    if (record_.onGo) record_.onGo();
    rebuildPage();
    if (record_.chainOpenGo && record_.hasOpen) QTimer::singleShot(0, this, &ParamDialog::pressOpen);
}

void ParamDialog::pressOpen() {
    if (closing_ || !record_.hasOpen || !checkFocusedEdit()) return;
    readPageBack();
    if (record_.closeOnOpen) {
        finish(DialogResult::ClosedByOpen);
        return;
    }
    const int opened = record_.onOpen ? record_.onOpen() : 0;
    rebuildPage();
    if (record_.chainOpenGo && opened != 0 && record_.hasGo)
        QTimer::singleShot(0, this, &ParamDialog::pressGo);
}

void ParamDialog::pressPrefs() {
    if (closing_ || !record_.hasPrefs || !checkFocusedEdit()) return;
    readPageBack();
    if (record_.onPrefs) record_.onPrefs();
    rebuildPage();
}

void ParamDialog::pressRead() {
    if (closing_ || !record_.hasReadSave || !checkFocusedEdit()) return;
    readPageBack();
    paramReadDialog(this, record_, messages_);
    updateCaption();
    rebuildPage();  // the loaded values show at once
}

void ParamDialog::pressSave() {
    if (closing_ || !record_.hasReadSave || !checkFocusedEdit()) return;
    readPageBack();
    paramSaveDialog(this, record_);
    updateCaption();
    activateWindow();
}

void ParamDialog::finish(DialogResult result) {
    closing_ = true;
    record_.result = result;
    removeSnapshot();
    QDialog::done(result == DialogResult::Ok ? QDialog::Accepted : QDialog::Rejected);
}

void ParamDialog::writeSnapshot() {
    if (snapshotPath_.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            (tmp != nullptr && *tmp != '\0' ? std::string(tmp) : std::string("/tmp")) + "/wssXXXXXX";
        const int fd = ::mkstemp(pattern.data());
        if (fd < 0) return;  // no snapshot: Cancel then keeps the edits
        ::close(fd);
        snapshotPath_ = pattern;
    }
    paramSave(kParametersSection, *record_.table, snapshotPath_);
}

void ParamDialog::removeSnapshot() {
    if (snapshotPath_.empty()) return;
    std::remove(snapshotPath_.c_str());
    snapshotPath_.clear();
}

// ---------------------------------------------------------------------------------------------
// Frame and dragging

void ParamDialog::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void ParamDialog::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QDialog::mousePressEvent(event);
    if (windowHandle() != nullptr && windowHandle()->startSystemMove()) return;
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void ParamDialog::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_ && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - dragOffset_);
}

void ParamDialog::mouseReleaseEvent(QMouseEvent* event) {
    dragging_ = false;
    QDialog::mouseReleaseEvent(event);
}

// ---------------------------------------------------------------------------------------------
// Running the dialog; parameter files

DialogResult runParamDialog(QWidget* owner, DialogRecord& record, MessageSink& messages) {
    ParamDialog dialog(record, messages, owner);
    dialog.exec();
    return record.result;
}

void setParamFileChooser(ParamFileChooser chooser) {
    fileChooser() = std::move(chooser);
}

std::string paramStartDirectory(const std::string& paramDirectory) {
    std::string path = paramDirectory;
    std::error_code error;
    while (!path.empty() && !std::filesystem::is_directory(path, error)) {
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        const std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos) return {};
        path.resize(slash == 0 ? 1 : slash);
        if (path == "/" && !std::filesystem::is_directory(path, error)) return {};
    }
    return path;
}

QString paramQtFilter(const DialogRecord& record) {
    std::string description = record.fileFilter;
    if (const std::size_t open = description.rfind(" ("); open != std::string::npos) description.resize(open);
    if (description.empty()) description = record.fileDescription + " Files";
    const std::string pattern =
        record.filePattern.empty() ? "*." + extensionLower(record) : record.filePattern;
    return qtTextFromBytes(description + " (" + pattern + ")");
}

bool paramReadDialog(QWidget* owner, DialogRecord& record, MessageSink& messages) {
    if (record.table == nullptr) return false;
    const std::string path = askParamFile(owner, false, record);
    if (path.empty()) return false;
    const Result<ProfileFile> read = ProfileFile::load(path);
    if (!read) {
        // A file that cannot be read changes nothing, and the user is told why.
        messages.show(MessageKind::PlainError, kPlainErrorCaption, read.error().text());
        return false;
    }
    const ProfileFile& profile = *read;
    // A file that is not text (a recording chosen by mistake, say) changes nothing.
    if (profile.holdsBinary()) {
        messages.show(MessageKind::PlainError, kPlainErrorCaption,
                      path + " holds binary data, not parameters; nothing was read.");
        return false;
    }
    record.setName = fileTitleWithoutExtension(path);
    // Values outside their rows' limits keep the values the rows had, and one message names them.
    const std::vector<RefusedParam> refused = paramLoadChecked(kParametersSection, *record.table, profile);
    if (!refused.empty()) {
        messages.show(MessageKind::ParameterError, kParameterErrorCaption,
                      paramRefusedText(*record.table, refused, path) + "\nThese settings keep their values.");
    }
    return true;
}

bool paramSaveDialog(QWidget* owner, DialogRecord& record) {
    if (record.table == nullptr) return false;
    const std::string path = askParamFile(owner, true, record);
    if (path.empty()) return false;
    record.setName = fileTitleWithoutExtension(path);
    return paramSave(kParametersSection, *record.table, path) > 0;
}

}  // namespace ephys
