// The progress box on the offscreen platform: the painted bar, the button row, presses reaching
// the record and its event, and updates arriving from a worker thread.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "shell/progress_window.h"

using namespace ephys;

namespace {

template <typename T>
T* control(QWidget& box, int id) {
    return box.findChild<T*>(QString::number(id));
}

bool isColour(QRgb pixel, int red, int green, int blue) {
    return std::abs(qRed(pixel) - red) < 8 && std::abs(qGreen(pixel) - green) < 8 &&
           std::abs(qBlue(pixel) - blue) < 8;
}

// Counts the pixels of the bar's inner area in a column that have the colour.
int columnCount(const QImage& image, const QRect& inner, int x, int red, int green, int blue) {
    int count = 0;
    for (int y = inner.top(); y <= inner.bottom(); ++y)
        count += isColour(image.pixel(x, y), red, green, blue);
    return count;
}

int areaCount(const QImage& image, const QRect& inner, int red, int green, int blue) {
    int count = 0;
    for (int x = inner.left(); x <= inner.right(); ++x)
        count += columnCount(image, inner, x, red, green, blue);
    return count;
}

}  // namespace

class ProgressWindowTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir home_;

  private slots:
    void initTestCase() {
        QVERIFY(home_.isValid());
        qputenv("HOME", home_.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", home_.path().toUtf8() + "/config");
        qputenv("TMPDIR", home_.path().toUtf8());
    }

    void attachesToTheRecordAndOpensAtOnePercent() {
        ProgressRecord record;
        record.fontHeight = 10;
        record.percent = 57;
        {
            ProgressWindow box(record);
            QCOMPARE(record.view, static_cast<ProgressView*>(&box));
            QVERIFY(!box.isVisible());
            QCOMPARE(box.windowTitle(), QString("Progress"));
            QVERIFY(box.windowFlags() & Qt::FramelessWindowHint);
            QVERIFY(box.font().pixelSize() >= QFontInfo(QApplication::font()).pixelSize());
            // "MS Sans Serif" is not found on Linux: the fallback must be a plain sans face.
            QCOMPARE(box.font().family(), QString("MS Sans Serif"));
            QCOMPARE(box.font().styleHint(), QFont::SansSerif);
            box.open();
            QVERIFY(box.isVisible());
            QCOMPARE(record.percent, 1);
            QCOMPARE(control<ProgressBarWidget>(box, 33012)->percent(), 1);
            QCOMPARE(control<QLabel>(box, 33000)->text(), QString("FancyDialog"));
            QVERIFY(control<QLabel>(box, 33000)->isVisible());
            QVERIFY(!control<QLabel>(box, 33001)->isVisible());
            QCOMPARE(control<QPushButton>(box, 33008)->text(), QString("&Cancel"));
            QVERIFY(control<QPushButton>(box, 33008)->isDefault());
        }
        QCOMPARE(record.view, nullptr);
    }

    // The fill ends at percent × width / 100, rounded; the label changes colour where it ends.
    void barIsFilledToThePercentage_data() {
        QTest::addColumn<int>("percent");
        QTest::newRow("0 %") << 0;
        QTest::newRow("42 %") << 42;
        QTest::newRow("100 %") << 100;
    }
    void barIsFilledToThePercentage() {
        QFETCH(int, percent);
        ProgressRecord record;
        ProgressWindow box(record);
        box.open();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        record.percent = percent;
        progressUpdate(record);
        auto* bar = control<ProgressBarWidget>(box, 33012);
        const QImage image = bar->grab().toImage();
        const QRect inner = bar->contentsRect();
        const int fill = ProgressBarWidget::fillWidth(percent, inner.width());
        const int blues = areaCount(image, inner, 0, 0, 255);
        const int whites = areaCount(image, inner, 255, 255, 255);
        // Nearly every pixel is pure blue or white: the rest is the anti-aliased label.
        QVERIFY(blues + whites > inner.width() * inner.height() * 9 / 10);
        const int height = inner.height();
        if (percent == 0) {
            QCOMPARE(columnCount(image, inner, inner.left(), 255, 255, 255), height);
            QVERIFY(blues > 0 && blues < inner.width() * height / 10);  // the blue "0 % "
        } else if (percent == 100) {
            QCOMPARE(columnCount(image, inner, inner.right(), 0, 0, 255), height);
            QVERIFY(whites > 0 && whites < inner.width() * height / 10);  // the white "100 % "
        } else {
            QCOMPARE(fill, (42 * inner.width() + 50) / 100);
            // The label stands in the middle, clear of where the fill ends.
            QCOMPARE(columnCount(image, inner, inner.left(), 0, 0, 255), height);
            QCOMPARE(columnCount(image, inner, inner.left() + fill - 1, 0, 0, 255), height);
            QCOMPARE(columnCount(image, inner, inner.left() + fill, 255, 255, 255), height);
            QCOMPARE(columnCount(image, inner, inner.right(), 255, 255, 255), height);
        }
        std::filesystem::create_directories("/tmp/s1-shots");
        box.grab().save(QString("/tmp/s1-shots/progress_%1.png").arg(percent));
    }

    void fillWidthRoundsLikeMulDiv() {
        QCOMPARE(ProgressBarWidget::fillWidth(0, 173), 0);
        QCOMPARE(ProgressBarWidget::fillWidth(50, 173), 87);  // 86.5 rounds up
        QCOMPARE(ProgressBarWidget::fillWidth(33, 173), 57);  // 57.09
        QCOMPARE(ProgressBarWidget::fillWidth(100, 173), 173);
    }

    // -----------------------------------------------------------------------------------------
    // Button row

    void onlyTheRequestedExtraButtonsShow() {
        ProgressRecord record;
        record.hasExtraButtons = 1;
        record.extraButtonCount = 2;
        ProgressWindow box(record);
        box.open();
        QVERIFY(QTest::qWaitForWindowActive(&box));
        auto* first = control<QPushButton>(box, 33004);
        auto* second = control<QPushButton>(box, 33005);
        auto* cancel = control<QPushButton>(box, 33008);
        QVERIFY(first->isVisible() && second->isVisible() && cancel->isVisible());
        QVERIFY(!control<QPushButton>(box, 33006)->isVisible());
        QVERIFY(!control<QPushButton>(box, 33007)->isVisible());
        QCOMPARE(first->text(), QString("&OK"));
        QCOMPARE(second->text(), QString("&Swps on"));
        QVERIFY(first->x() < second->x() && second->x() < cancel->x());
        QVERIFY(first->geometry().right() < second->x() && second->geometry().right() < cancel->x());
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(first));
        // Equal gaps, the row centred in the box.
        const int gap = first->x();
        QVERIFY(std::abs(second->x() - first->geometry().right() - 1 - gap) <= 1);
        QVERIFY(std::abs(box.width() - cancel->geometry().right() - 1 - gap) <= 2);
        // Everything on show lies inside the box, the lines above the bar, the buttons below it.
        auto* bar = control<ProgressBarWidget>(box, 33012);
        QVERIFY(box.rect().contains(cancel->geometry()));
        QVERIFY(bar->geometry().bottom() < cancel->y());
        QVERIFY(control<QLabel>(box, 33000)->geometry().bottom() < bar->y());

        // The run takes the focus back to the stepping buttons when it asks.
        cancel->setFocus();
        ++record.focusRequests;
        progressUpdate(record);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(first));
        record.showCancel = 0;
        progressLayoutButtons(record);
        QVERIFY(!cancel->isVisible());
    }

    void narrowBoxShrinksTheButtons() {
        ProgressRecord record;
        record.hasExtraButtons = 1;
        record.extraButtonCount = 4;
        record.boxWidth = 60;
        ProgressWindow box(record);
        box.open();
        const int expected = static_cast<int>(0.8 * box.width() / 5);
        int previousRight = -1;
        for (int id = 33004; id <= 33008; ++id) {
            auto* button = control<QPushButton>(box, id);
            QVERIFY(button->isVisible());
            QCOMPARE(button->width(), expected);
            QVERIFY(button->x() > previousRight);
            previousRight = button->geometry().right();
        }
        QVERIFY(previousRight < box.width());

        // A wide box keeps the buttons at their own width.
        ProgressRecord wide;
        wide.hasExtraButtons = 1;
        wide.extraButtonCount = 1;
        ProgressWindow wideBox(wide);
        QVERIFY(control<QPushButton>(wideBox, 33008)->width() < 0.4 * wideBox.width());
        QCOMPARE(control<QPushButton>(wideBox, 33004)->width(),
                 control<QPushButton>(wideBox, 33008)->width());
    }

    // -----------------------------------------------------------------------------------------
    // Presses

    void cancelWithoutAnEventOnlyRecordsThePress() {
        ProgressRecord record;
        ProgressWindow box(record);
        box.open();
        QTest::mouseClick(control<QPushButton>(box, 33008), Qt::LeftButton);
        QCOMPARE(record.pressedButton.load(), 33008);
        QVERIFY(!record.buttonEvent);
        QVERIFY(box.isVisible());  // the box does not close itself
    }

    void pressesWakeAWaitingWorker() {
        ProgressRecord record;
        record.hasExtraButtons = 1;
        record.buttonEvent = std::make_shared<AutoResetEvent>();
        ProgressWindow box(record);
        box.open();
        std::atomic<int> woken{0};
        std::atomic<int> seen{0};
        std::thread worker([&] {
            // Single-step mode: wait for the next press, act on it, wait again.
            for (int i = 0; i < 2; ++i) {
                if (!record.buttonEvent->waitFor(std::chrono::seconds(10))) return;
                seen = record.pressedButton.load();
                ++woken;
            }
        });
        QTest::mouseClick(control<QPushButton>(box, 33005), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(woken.load(), 1, 5000);
        QCOMPARE(seen.load(), 33005);
        QTest::mouseClick(control<QPushButton>(box, 33008), Qt::LeftButton);
        worker.join();
        QCOMPARE(woken.load(), 2);
        QCOMPARE(seen.load(), 33008);
    }

    // -----------------------------------------------------------------------------------------
    // Updates from a worker

    void updatesFromAWorkerThreadReachTheWidgets() {
        ProgressRecord record;
        record.showLine2 = 1;
        ProgressWindow box(record);
        box.open();
        auto* line1 = control<QLabel>(box, 33000);
        auto* line2 = control<QLabel>(box, 33001);
        auto* bar = control<ProgressBarWidget>(box, 33012);
        std::thread worker([&] {
            for (int frame = 1; frame <= 200; ++frame) {
                record.line1 = "cell07.abf";
                record.line2 = "Frame " + std::to_string(frame) + " of 200";
                record.percent = frame / 2;
                progressUpdate(record);
            }
        });
        worker.join();
        QTRY_COMPARE_WITH_TIMEOUT(line2->text(), QString("Frame 200 of 200"), 5000);
        QCOMPARE(line1->text(), QString("cell07.abf"));
        QCOMPARE(bar->percent(), 100);
        QCOMPARE(box.shown().percent, 100);
    }

    // Status lines are shown as UTF-8, and as Latin-1 when they are not valid UTF-8.
    void linesShowUtf8AndLatin1() {
        ProgressRecord record;
        ProgressWindow box(record);
        record.line1 = "5 \xC2\xB5m";
        progressUpdate(record);
        QCOMPARE(control<QLabel>(box, 33000)->text(), QString::fromUtf8("5 \xC2\xB5m"));
        record.line1 = "5 \xB5m";
        progressUpdate(record);
        QCOMPARE(control<QLabel>(box, 33000)->text(), QString::fromLatin1("5 \xB5m"));
    }
};

QTEST_MAIN(ProgressWindowTest)
#include "progress_window_test.moc"
