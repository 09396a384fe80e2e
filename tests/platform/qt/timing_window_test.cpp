// The value and time tooltips and the timing window, on the real dialog offscreen.
#include <string>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "console/master_dlg.h"
#include "platform/qt/console_dialog.h"
#include "platform/qt/plain_tooltip.h"
#include "platform/qt/timing_window.h"
#include "support/temp_dir.h"
#include "window_fixture.h"

namespace quarin::qt {
namespace {

// What a tooltip made from text holds: the text, escaped so that it shows as it is.
std::string shownAs(const std::string& text)
{
    return plainToolTip(QString::fromUtf8(text.c_str())).toStdString();
}

std::string toolTipOf(QWidget* widget)
{
    return widget->toolTip().toStdString();
}

class TimingWindowTest : public WindowFixture<>
{
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        // Failures go to the log, not to a modal box.
        dialog.setIndex(ControlId::SampleMode, ScheduledWithLogging);
        console.onRead();
        console.onStop();
    }

    // A transaction of ms on the console's clock.
    void timed(std::uint64_t ms)
    {
        const TimeStamp start = fake.clock.now();
        fake.clock.advance(ms);
        console.recordTransactionTime(start, fake.clock.now());
    }

    TimingWindow* openWindow()
    {
        QTest::keyClick(&dialog, Qt::Key_G, Qt::ControlModifier);
        return dialog.timingWindow();
    }
};

TEST_F(TimingWindowTest, ValueFieldsExplainTheirRegisterAsPlainText)
{
    dialog.setText(ControlId::RegisterCount, "2");
    console.refreshLabels();
    dialog.setText(ControlId::Value, "15420", 0); // 0x3C3C: "<<" must not read as markup
    dialog.setText(ControlId::Value, "0", 1);
    auto* first = qobject_cast<QLineEdit*>(dialog.widget(ControlId::Value, 0));
    hover(first);
    const std::string expected = console.valueToolTip(0);
    EXPECT_NE(expected.find("characters '<' '<'"), std::string::npos) << expected;
    EXPECT_EQ(toolTipOf(first), shownAs(expected));
    EXPECT_EQ(dialog.text(ControlId::Value, 0), "15420") << "the field is unchanged";
}

TEST_F(TimingWindowTest, TimeFieldsSummariseTheRun)
{
    timed(40);
    timed(30);
    for (ControlId id : {ControlId::TransactionTime, ControlId::MinTime, ControlId::MaxTime}) {
        QWidget* field = dialog.widget(id);
        hover(field);
        EXPECT_EQ(toolTipOf(field), shownAs(console.timesToolTip()));
    }
    EXPECT_NE(console.timesToolTip().find("2 transactions, 0 failed"), std::string::npos);
}

TEST_F(TimingWindowTest, ControlGOpensANonModalWindowThatNamesFailures)
{
    fake.clock.advance(1000);
    console.reportFailure("Timeout waiting on a response", Failure);
    fake.clock.advance(2000);
    timed(25);
    console.reportFailure("Exception Response Received = 2", Failure);
    timed(40);

    TimingWindow* window = openWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_FALSE(window->isModal());
    EXPECT_TRUE(window->isWindow());
    EXPECT_EQ(openWindow(), window) << "the shortcut raises the same window";

    window->grab(); // paints the plot
    const RunRecord& run = console.runRecord();
    ASSERT_EQ(run.size(), 3u);
    RunPlot* plot = window->plot();
    const QPoint untimed = plot->pointOf(0);
    const QPoint refused = plot->pointOf(1);
    ASSERT_NE(untimed, QPoint(-1, -1));
    EXPECT_EQ(plot->pointOf(2), QPoint(-1, -1)) << "an answered one is no failure";
    EXPECT_TRUE(plot->failureAt(untimed).endsWith(QStringLiteral("Timeout waiting on a response")));
    EXPECT_TRUE(plot->failureAt(refused + QPoint(2, 1))
                    .endsWith(QStringLiteral("Exception Response Received = 2")));
    EXPECT_TRUE(plot->failureAt(refused).contains(QStringLiteral("25 ms")));
    EXPECT_LT(refused.y(), plot->height());
    EXPECT_LT(untimed.y(), refused.y()) << "a failure without a time sits above the plot";

    // The dialog still takes input while the window is open.
    QTest::keyClick(&dialog, Qt::Key_T, Qt::ControlModifier);
    EXPECT_TRUE(console.frameTraceOn());
    window->close();
}

TEST_F(TimingWindowTest, KeepsUpWithAOneMillisecondScheduleAtAFewRedrawsASecond)
{
    TimingWindow* window = openWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    const int before = window->redraws();
    QTimer feed;
    feed.setTimerType(Qt::PreciseTimer);
    QObject::connect(&feed, &QTimer::timeout, [&] { timed(1); });
    feed.start(1);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1000) {
        QTest::qWait(20);
    }
    feed.stop();
    const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    const int redraws = window->redraws() - before;
    EXPECT_GE(redraws, 1) << "it is drawn live";
    EXPECT_LE(redraws, 4 * seconds + 1) << "at most four redraws a second, not one per transaction";
    // The last live redraw may have come after the last fed transaction.
    timed(1);
    window->refresh();
    EXPECT_EQ(window->redraws() - before, redraws + 1);
    window->refresh();
    EXPECT_EQ(window->redraws() - before, redraws + 1) << "nothing new, nothing drawn";
}

TEST_F(TimingWindowTest, SavesTheRunAsCsvAndThePictureAsPng)
{
    test::TempDir dir;
    ASSERT_TRUE(dir.ok()) << dir.error();
    timed(40);
    console.reportFailure("Exception Response Received = 2", Failure);
    TimingWindow* window = openWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));

    const QString csv = QString::fromStdString((dir.path() / "run.csv").string());
    ASSERT_TRUE(window->saveCsv(csv));
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().toStdString(), RunCsv(console.runRecord()));

    const QString png = QString::fromStdString((dir.path() / "run.png").string());
    ASSERT_TRUE(window->savePng(png));
    const QImage picture(png);
    EXPECT_EQ(picture.size(), window->size() * window->devicePixelRatio());

    EXPECT_FALSE(window->saveCsv(QString::fromStdString(dir.path().string()))) << "a folder";
    window->close();
}

} // namespace
} // namespace quarin::qt
