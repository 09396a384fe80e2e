// The window with a console behind it: the operator's events reach the console's handlers, and
// the window's end runs the console's clean-up once.
#include <functional>
#include <string>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "console/master_dlg.h"
#include "persistence/persistence_texts.h"
#include "platform/qt/console_dialog.h"
#include "transactions/tx_console.h"
#include "window_fixture.h"

namespace quarin::qt {
namespace {

constexpr int kPatienceMs = 10000;

// Counts the halts: the console's clean-up halts the window exactly once.
class CountingDialog : public ConsoleDialog
{
public:
    void halt() override
    {
        ++halts;
        ConsoleDialog::halt();
    }

    int halts = 0;
};

class ConsoleWindowTest : public WindowFixture<CountingDialog>
{
protected:
    void click(ControlId id, int row = 0)
    {
        QWidget* target = id == ControlId::Protocol || id == ControlId::DisplayMode
                              ? dialog.radioButton(id, row)
                              : dialog.widget(id, row);
        QTest::mouseClick(target, Qt::LeftButton);
    }

    bool settle(const std::function<bool()>& done)
    {
        return dialog.waitWhileProcessingEvents(done, kPatienceMs);
    }
};

TEST_F(ConsoleWindowTest, OperatorChoicesRunTheirHandlersAndTransfersDoNot)
{
    // A port picked from the list runs the port rules.
    auto* port = qobject_cast<QComboBox*>(dialog.widget(ControlId::Port));
    port->setFocus();
    QTest::keyClick(port, Qt::Key_Down);
    ASSERT_EQ(dialog.index(ControlId::Port), 1);
    EXPECT_TRUE(dialog.isEnabled(ControlId::Baud));
    EXPECT_TRUE(dialog.isEnabled(ControlId::Protocol, ModbusAscii));
    EXPECT_FALSE(dialog.isEnabled(ControlId::Address));

    // The same change made by a transfer runs nothing.
    dialog.setIndex(ControlId::Port, 0);
    EXPECT_TRUE(dialog.isEnabled(ControlId::Baud));
    dialog.setIndex(ControlId::Port, 1);

    click(ControlId::Protocol, ModbusAscii);
    EXPECT_FALSE(dialog.isEnabled(ControlId::Parity));
    click(ControlId::Protocol, Modbus);
    EXPECT_TRUE(dialog.isEnabled(ControlId::Parity));
    // A click on the button already checked runs its handler all the same.
    dialog.setEnabled(ControlId::Parity, false);
    click(ControlId::Protocol, Modbus);
    EXPECT_TRUE(dialog.isEnabled(ControlId::Parity));

    // Typing in "Starting Register:" rewrites the labels; writing it from code does not.
    auto* start = qobject_cast<QLineEdit*>(dialog.widget(ControlId::StartRegister));
    start->setFocus();
    start->end(false);
    QTest::keyClick(start, Qt::Key_0);
    EXPECT_EQ(dialog.text(ControlId::RegisterLabel, 0), "400010");
    dialog.setText(ControlId::StartRegister, "20");
    EXPECT_EQ(dialog.text(ControlId::RegisterLabel, 0), "400010");

    dialog.setText(ControlId::Value, "255", 0);
    click(ControlId::DisplayMode, Hex);
    EXPECT_EQ(dialog.text(ControlId::Value, 0), "ff");

    auto* dataType = qobject_cast<QComboBox*>(dialog.widget(ControlId::DataType));
    dataType->setFocus();
    QTest::keyClick(dataType, Qt::Key_End);
    ASSERT_EQ(dialog.index(ControlId::DataType), DeviceIdentification);
    EXPECT_FALSE(dialog.isEnabled(ControlId::WriteButton));
    EXPECT_FALSE(dialog.isEnabled(ControlId::StartRegister));
}

TEST_F(ConsoleWindowTest, ScheduleTicksThroughTheWindowTimer)
{
    dialog.setIndex(ControlId::SampleMode, Scheduled);
    click(ControlId::ReadButton);
    EXPECT_TRUE(dialog.isEnabled(ControlId::StopButton));
    EXPECT_FALSE(dialog.isEnabled(ControlId::ReadButton));
    EXPECT_TRUE(settle([&] { return fake.workers.startedCount() > 0; }));

    click(ControlId::StopButton);
    EXPECT_FALSE(dialog.isEnabled(ControlId::StopButton));
    EXPECT_TRUE(dialog.isEnabled(ControlId::ReadButton));
}

TEST_F(ConsoleWindowTest, RightDoubleClickOnTheBackgroundOpensTheLog)
{
    const QPoint background(3, 3);
    ASSERT_EQ(dialog.childAt(background), nullptr);
    QTest::mouseDClick(&dialog, Qt::LeftButton, {}, background);
    QTest::mouseDClick(dialog.widget(ControlId::Value, 0), Qt::RightButton);
    EXPECT_TRUE(fake.programs.started.empty());

    QTest::mouseDClick(&dialog, Qt::RightButton, {}, background);
    ASSERT_EQ(fake.programs.started.size(), 1u);
    EXPECT_EQ(fake.programs.started[0].back(), "Quarin.log");
}

TEST_F(ConsoleWindowTest, HelpKeyOpensTheAboutBox)
{
    std::string title;
    std::string line;
    bool icon = false;
    QTimer::singleShot(0, &dialog, [&] {
        auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (about == nullptr || about == &dialog) {
            return;
        }
        title = about->windowTitle().toStdString();
        for (QLabel* label : about->findChildren<QLabel*>()) {
            icon = icon || !label->pixmap().isNull();
            if (!label->text().isEmpty()) {
                line = label->text().toStdString();
            }
        }
        for (QPushButton* button : about->findChildren<QPushButton*>()) {
            if (button->text() == QStringLiteral("OK")) {
                button->click();
            }
        }
    });
    QTest::keyClick(&dialog, Qt::Key_F1);
    EXPECT_EQ(title, "About Generic Modbus/Jbus Quarin");
    EXPECT_EQ(line, "Generic Modbus/Jbus Quarin Version 4.7");
    EXPECT_TRUE(icon);
    EXPECT_TRUE(dialog.isVisible()) << "OK closes the About box only";
}

TEST_F(ConsoleWindowTest, EscapeClosesWithoutSavingAndCleansUpOnce)
{
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.halts, 1);
    EXPECT_TRUE(fake.halt.raised());
    EXPECT_EQ(fake.files.files.count("Quarin.ini"), 0u);

    dialog.show();
    dialog.close();
    dialog.finish();
    EXPECT_EQ(dialog.halts, 1);
}

TEST_F(ConsoleWindowTest, ExitSavesThenClosesAndCleansUpOnce)
{
    click(ControlId::ExitButton);
    EXPECT_TRUE(settle([&] { return !dialog.isVisible(); }));
    EXPECT_EQ(fake.files.files.count("Quarin.ini"), 1u);
    EXPECT_EQ(dialog.halts, 1);
}

// Once a worker has run, Exit halts it before the save; the halt is the worker's, and the boxes
// of the save itself still reach the operator.
TEST_F(ConsoleWindowTest, ExitAfterAScheduleStillShowsTheBoxesOfItsSave)
{
    fake.sockets.slave = test::goodTcpSlave;
    dialog.setText(ControlId::Address, "127.0.0.1");
    dialog.setIndex(ControlId::SampleMode, Scheduled);
    console.onRead();
    console.onTimer(CMasterDlg::kScheduleTimer);
    ASSERT_TRUE(fake.workers.runNext());
    ASSERT_EQ(dialog.text(ControlId::Value, 0), "1");
    click(ControlId::StopButton);

    dialog.setText(ControlId::SlaveId, "x");
    fake.files.replaceFails = true;
    std::vector<std::string> boxes;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, &dialog, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes.push_back(box->text().toStdString());
            box->button(QMessageBox::Ok)->click();
        }
    });
    probe.start(5);
    click(ControlId::ExitButton);
    EXPECT_TRUE(settle([&] { return !dialog.isVisible(); }));
    EXPECT_TRUE(fake.halt.raised());
    EXPECT_EQ(boxes, (std::vector<std::string>{"Please enter an integer.", kSettingsNotSaved}));
}

} // namespace
} // namespace quarin::qt
