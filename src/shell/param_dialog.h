// The tabbed parameter dialog: any parameter table shown as tab pages of edit boxes, check boxes
// and radio groups, with the command row (Go, Save, Read, Open, Prefs, OK/Cancel or Exit) under
// them. Typed values are checked when an edit box loses the focus; Cancel restores every value
// from a snapshot taken when the dialog opened (or at the last Go). The preferences box is the
// same dialog over a one-page table.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "params/dialog_record.h"
#include "params/messages.h"

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabBar;

namespace ephys {

// Control identifiers of the dialog (each control's objectName is its number).
inline constexpr int kDialogCancel = 50002;
inline constexpr int kDialogOk = 50003;
inline constexpr int kDialogGo = 50004;
inline constexpr int kDialogRead = 50005;
inline constexpr int kDialogSave = 50006;
inline constexpr int kDialogTabs = 50009;
inline constexpr int kDialogOpen = 50012;
inline constexpr int kDialogPrefs = 50013;
inline constexpr int kDialogMinimizeHidden = 50014;
inline constexpr int kDialogExit = 50015;
inline constexpr int kDialogMinimize = 50016;
inline constexpr int kDialogTitle = 51011;
inline constexpr int kDialogGroupBase = 41000;  // + g
inline constexpr int kDialogRadioBase = 41011;  // + 15 g + k
inline constexpr int kDialogEditBase = 31000;   // + row
inline constexpr int kDialogLabelBase = 21000;  // + row
inline constexpr int kDialogMaxGroups = 10;
inline constexpr int kDialogMaxRadios = 15;

class ParamDialog : public QDialog {
    Q_OBJECT

  public:
    // Builds the dialog for record.table and writes the snapshot; the dialog is not yet shown.
    ParamDialog(DialogRecord& record, MessageSink& messages, QWidget* owner = nullptr);
    ~ParamDialog() override;

    // The snapshot file of the values to restore on Cancel; empty once the dialog has closed.
    const std::string& snapshotPath() const { return snapshotPath_; }
    int textHeight() const { return textHeight_; }
    int pageHeight() const { return pageHeight_; }
    // The buttons of the command row in their order from the left (visible ones only).
    std::vector<QPushButton*> buttonRow() const;

    // The commands of the button row, also reachable by the program (a chained Open/Go).
    void pressGo();
    void pressOpen();
    void pressPrefs();
    void pressRead();
    void pressSave();
    void pressOk();
    void pressCancel();

    // Shows the record's values of the current page again (after the program changed them).
    void rebuildPage();
    // Takes the values of the shown page into the record.
    void readPageBack();
    // "title" or "title - setName", in the title line and the window title.
    void updateCaption();

    void accept() override;
    void reject() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    struct Control;
    struct PageLayout;

    PageLayout layoutPage(int page) const;
    void measure();
    void placeButtons();
    void buildPage(int page);
    void destroyPage();
    void onTabChanged(int index);
    // Checks an edit box's text; on rejection arranges the message, the old text and the focus.
    bool checkEdit(int row);
    bool checkFocusedEdit();
    void handleRejection();
    QLineEdit* editOfRow(int row) const;
    void writeSnapshot();
    void removeSnapshot();
    void finish(DialogResult result);

    DialogRecord& record_;
    MessageSink& messages_;
    std::string snapshotPath_;
    bool closing_ = false;
    bool rebuilding_ = false;
    int pendingRejectRow_ = -1;

    int textHeight_ = 0;
    int rowHeight_ = 0;
    int tabHeaderHeight_ = 0;
    int pageTop_ = 0;
    int pageHeight_ = 0;
    int buttonHeight_ = 0;
    int buttonWidth_ = 0;
    int radioExtraWidth_ = 0;
    int groupContentTop_ = 0;     // where a group box's inner area begins below its top edge
    int groupContentBottom_ = 0;  // and the frame under it
    int width_ = 0;

    QLabel* title_ = nullptr;
    QPushButton* minimize_ = nullptr;
    QTabBar* tabs_ = nullptr;
    QFrame* pane_ = nullptr;
    QFrame* etchedLine_ = nullptr;
    std::unique_ptr<QWidget> page_;  // holds the controls of the page shown
    struct BuiltRow;
    std::vector<BuiltRow> built_;
    std::vector<QPushButton*> row_;  // the placed command buttons, left to right

    QPoint dragOffset_;
    bool dragging_ = false;
};

// Runs the dialog modally and returns how it ended (also left in record.result).
DialogResult runParamDialog(QWidget* owner, DialogRecord& record, MessageSink& messages);

// Read/Save file boxes go through a replaceable chooser so tests need no file dialog: returns the
// chosen path, "" on cancel.
using ParamFileChooser = std::function<std::string(QWidget* parent, bool save, const DialogRecord& record,
                                                   const std::string& startDir)>;
void setParamFileChooser(ParamFileChooser chooser);  // empty = the QFileDialog boxes

// The parameter directory, or its nearest existing ancestor ("" when none exists).
std::string paramStartDirectory(const std::string& paramDirectory);
// The Qt filter of the record's parameter files: "SPKTAL Files (*.skw)".
QString paramQtFilter(const DialogRecord& record);

// Asks for a parameter file and loads its [Parameters] section; the set's name becomes the
// file's title. Values outside their rows' limits are refused with one message and keep the
// rows' values; a file holding binary data changes nothing. False when the box was cancelled or
// the file could not be read.
bool paramReadDialog(QWidget* owner, DialogRecord& record, MessageSink& messages);
// Asks for a file name (prefilled with the set's name) and saves the parameters into it.
bool paramSaveDialog(QWidget* owner, DialogRecord& record);

}  // namespace ephys
