#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <gtest/gtest.h>

#include "platform/qt/console_dialog.h"
#include "window_fixture.h"

namespace quarin::qt {
namespace {

constexpr int kFirstControl = static_cast<int>(ControlId::Port);
constexpr int kLastControl = static_cast<int>(ControlId::ExitButton);

std::string latin1(const QString& text)
{
    return text.toLatin1().toStdString();
}

// The label whose buddy is the control: the operator's name for it.
QLabel* labelFor(const QDialog& dialog, const QWidget* control)
{
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->buddy() == control) {
            return label;
        }
    }
    return nullptr;
}

// What the operator reads in a label or a tooltip of this text and format: Qt renders what looks
// like markup unless told that the text is plain.
std::string seen(const QString& text, Qt::TextFormat format = Qt::AutoText)
{
    const bool rich =
        format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text));
    if (!rich) {
        return text.toStdString();
    }
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText().toStdString();
}

class ConsoleDialogTest : public testing::Test
{
protected:
    void showDialog() { showActive(dialog); }

    ConsoleDialog dialog;
};

TEST_F(ConsoleDialogTest, EveryControlHasItsWidgetAndItsOperatorText)
{
    struct Case
    {
        ControlId id;
        const char* label; // its buddy label, or its own text for buttons and group boxes
        const char* accessibleName;
        bool readOnly;
    };

    const Case cases[] = {
        {ControlId::Port, "Port:", "Port", false},
        {ControlId::Baud, "Baud:", "Baud", false},
        {ControlId::DataType, "Data Type:", "Data Type", false},
        {ControlId::SlaveId, "Slave ID:", "Slave ID", false},
        {ControlId::StartRegister, "Starting Register:", "Starting Register", false},
        {ControlId::RegisterCount, "# of Registers:", "# of Registers", false},
        {ControlId::Protocol, "Protocol", "Protocol", false},
        {ControlId::Parity, "Parity:", "Parity", false},
        {ControlId::Address, "TCP/IP Address or URL:", "TCP/IP Address or URL", false},
        {ControlId::TransactionTime, "Transaction Time in ms:", "Transaction Time in ms", true},
        {ControlId::Wiring, "Communications Wiring:", "Communications Wiring", false},
        {ControlId::Timeout, "Timeout in ms:", "Timeout in ms", false},
        {ControlId::SampleRate, "Sample Rate in ms:", "Sample Rate in ms", false},
        {ControlId::ErrorCount, "Automated Error Count:", "Automated Error Count", true},
        {ControlId::TransactionCount,
         "Scheduled Transaction Count:",
         "Scheduled Transaction Count",
         true},
        {ControlId::SampleMode, "Sample Mode:", "Sample Mode", false},
        {ControlId::DisplayMode, "Display Mode", "Display Mode", false},
        {ControlId::MinTime,
         "Minimum Transaction Time in ms:",
         "Minimum Transaction Time in ms",
         true},
        {ControlId::MaxTime,
         "Maximum Transaction Time in ms:",
         "Maximum Transaction Time in ms",
         true},
        {ControlId::StopButton, "&Stop", "Stop", false},
        {ControlId::ReadButton, "&Read", "Read", false},
        {ControlId::WriteButton, "&Write", "Write", false},
        {ControlId::ExitButton, "&Exit", "Exit", false},
    };
    std::set<const QWidget*> seen;
    std::set<int> covered;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.accessibleName);
        covered.insert(static_cast<int>(c.id));
        QWidget* control = dialog.widget(c.id);
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(seen.insert(control).second) << "two controls share a widget";
        EXPECT_EQ(latin1(control->accessibleName()), c.accessibleName);
        if (auto* button = qobject_cast<QPushButton*>(control)) {
            EXPECT_EQ(latin1(button->text()), c.label);
        } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
            EXPECT_EQ(latin1(group->title()), c.label);
        } else {
            const QLabel* label = labelFor(dialog, control);
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(latin1(label->text()), c.label);
        }
        if (auto* combo = qobject_cast<QComboBox*>(control)) {
            EXPECT_FALSE(combo->isEditable()) << "a drop-down list takes no free text";
        }
        if (auto* edit = qobject_cast<QLineEdit*>(control)) {
            EXPECT_EQ(edit->isReadOnly(), c.readOnly);
        }
    }

    struct Radio
    {
        ControlId group;
        int row;
        const char* text;
        const char* accessibleName;
    };

    const Radio radios[] = {
        {ControlId::Protocol, 0, "&Modbus", "Modbus"},
        {ControlId::Protocol, 1, "&Jbus", "Jbus"},
        {ControlId::Protocol, 2, "Modbus &ASCII", "Modbus ASCII"},
        {ControlId::DisplayMode, 0, "&Decimial", "Decimial"},
        {ControlId::DisplayMode, 1, "&Hex", "Hex"},
    };
    for (const Radio& r : radios) {
        SCOPED_TRACE(r.text);
        QAbstractButton* button = dialog.radioButton(r.group, r.row);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(latin1(button->text()), r.text);
        EXPECT_EQ(latin1(button->accessibleName()), r.accessibleName);
        EXPECT_TRUE(dialog.widget(r.group)->isAncestorOf(button));
    }
    EXPECT_EQ(dialog.radioButton(ControlId::Protocol, 3), nullptr);

    for (ControlId rowed : {ControlId::RegisterLabel, ControlId::Value}) {
        covered.insert(static_cast<int>(rowed));
        for (int row = 0; row < kValueRows; ++row) {
            SCOPED_TRACE(row);
            auto* edit = qobject_cast<QLineEdit*>(dialog.widget(rowed, row));
            ASSERT_NE(edit, nullptr);
            EXPECT_TRUE(seen.insert(edit).second);
            EXPECT_EQ(edit->isReadOnly(), rowed == ControlId::RegisterLabel);
        }
        EXPECT_EQ(dialog.widget(rowed, kValueRows), nullptr);
        EXPECT_EQ(dialog.widget(rowed, -1), nullptr);
    }
    for (int id = kFirstControl; id <= kLastControl; ++id) {
        EXPECT_TRUE(covered.count(id)) << "ControlId " << id << " has no case";
    }

    int arrows = 0;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        arrows += label->text() == QStringLiteral("->") ? 1 : 0;
    }
    EXPECT_EQ(arrows, kValueRows);
    EXPECT_EQ(latin1(dialog.windowTitle()), "Generic Modbus/Jbus Quarin");
}

TEST_F(ConsoleDialogTest, ListsHoldTheirEntriesInSettingOrder)
{
    struct Case
    {
        ControlId id;
        std::vector<std::string> entries;
    };

    const Case cases[] = {
        {ControlId::Port,
         {"TCP/IP",
          "COM1",
          "COM2",
          "COM3",
          "COM4",
          "COM5",
          "COM6",
          "COM7",
          "COM8",
          "COM9",
          "COM10",
          "COM11",
          "COM12",
          "COM13",
          "COM14",
          "COM15",
          "COM16"}},
        {ControlId::Baud, {"1200", "2400", "4800", "9600", "19200", "38400"}},
        {ControlId::Parity, {"Even", "None"}},
        {ControlId::Wiring, {"Wiring with No Echo (4-wire)", "Wiring with Echo (2-wire)"}},
        {ControlId::SampleMode, {"Manual", "Scheduled", "Scheduled with Logging (Automated)"}},
        {ControlId::DataType,
         {"Holding Register (R03 / W16)",
          "Input Register (R04)",
          "Single Holding Register (R03 / W06)",
          "Scattered Register Read (R100 [04])",
          "Read Device Identification (R43 [14])"}},
    };
    for (const Case& c : cases) {
        auto* combo = qobject_cast<QComboBox*>(dialog.widget(c.id));
        ASSERT_NE(combo, nullptr);
        std::vector<std::string> shown;
        for (int i = 0; i < combo->count(); ++i) {
            shown.push_back(latin1(combo->itemText(i)));
        }
        EXPECT_EQ(shown, c.entries);
    }
}

TEST_F(ConsoleDialogTest, OpensWithTheDocumentedControlsOff)
{
    std::map<std::pair<ControlId, int>, bool> off = {
        {{ControlId::Baud, 0}, true},
        {{ControlId::Parity, 0}, true},
        {{ControlId::Wiring, 0}, true},
        {{ControlId::Protocol, 1}, true},
        {{ControlId::Protocol, 2}, true},
        {{ControlId::StopButton, 0}, true},
    };
    for (int id = kFirstControl; id <= kLastControl; ++id) {
        const auto control = static_cast<ControlId>(id);
        const int rows = control == ControlId::Protocol      ? 3
                         : control == ControlId::DisplayMode ? 2
                         : control == ControlId::RegisterLabel || control == ControlId::Value
                             ? kValueRows
                             : 1;
        for (int row = 0; row < rows; ++row) {
            SCOPED_TRACE(testing::Message() << "control " << id << " row " << row);
            EXPECT_EQ(dialog.isEnabled(control, row), !off.count({control, row}));
        }
    }
    EXPECT_EQ(dialog.index(ControlId::Protocol), Modbus);
    EXPECT_EQ(dialog.index(ControlId::DisplayMode), Decimal);
}

TEST_F(ConsoleDialogTest, WindowIsFixedAndLaidOutInColumnsTopToBottom)
{
    showDialog();
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        EXPECT_GE(label->width(), label->sizeHint().width())
            << "clipped: " << latin1(label->text());
    }

    const auto top = [&](ControlId id, int row = 0) {
        return dialog.widget(id, row)->mapTo(&dialog, QPoint(0, 0)).y();
    };
    EXPECT_LT(top(ControlId::MaxTime), top(ControlId::TransactionTime));
    EXPECT_LT(top(ControlId::TransactionTime), top(ControlId::MinTime));
    for (int row = 0; row < kValueRows; ++row) {
        SCOPED_TRACE(row);
        const QRect label = dialog.widget(ControlId::RegisterLabel, row)->geometry();
        const QRect value = dialog.widget(ControlId::Value, row)->geometry();
        EXPECT_LT(std::abs(label.center().y() - value.center().y()), 3) << "same row";
        EXPECT_LT(label.right(), value.left());
        if (row > 0) {
            EXPECT_GT(top(ControlId::Value, row), top(ControlId::Value, row - 1));
        }
    }

    // Walking the tab order, each column is visited from top to bottom, and every control is
    // visited once.
    std::vector<QWidget*> controls;
    for (int id = kFirstControl; id <= kLastControl; ++id) {
        const auto control = static_cast<ControlId>(id);
        if (control == ControlId::Protocol || control == ControlId::DisplayMode) {
            for (int row = 0; dialog.radioButton(control, row) != nullptr; ++row) {
                controls.push_back(dialog.radioButton(control, row));
            }
        } else {
            for (int row = 0; dialog.widget(control, row) != nullptr && row < kValueRows; ++row) {
                controls.push_back(dialog.widget(control, row));
                if (control != ControlId::RegisterLabel && control != ControlId::Value) {
                    break;
                }
            }
        }
    }
    std::map<int, int> lastTopByColumn;
    std::set<QWidget*> visited;
    QWidget* at = dialog.widget(ControlId::Port);
    do {
        if (std::find(controls.begin(), controls.end(), at) != controls.end()) {
            EXPECT_TRUE(visited.insert(at).second);
            const QPoint corner = at->mapTo(&dialog, QPoint(0, 0));
            if (auto last = lastTopByColumn.find(corner.x()); last != lastTopByColumn.end()) {
                EXPECT_GT(corner.y(), last->second) << latin1(at->objectName());
            }
            lastTopByColumn[corner.x()] = corner.y();
        }
        at = at->nextInFocusChain();
    } while (at != dialog.widget(ControlId::Port) && at != nullptr);
    EXPECT_EQ(visited.size(), controls.size());
}

TEST_F(ConsoleDialogTest, EnterPressesReadUnlessAnotherButtonHasTheFocus)
{
    auto* read = qobject_cast<QPushButton*>(dialog.widget(ControlId::ReadButton));
    auto* write = qobject_cast<QPushButton*>(dialog.widget(ControlId::WriteButton));
    ASSERT_NE(read, nullptr);
    ASSERT_NE(write, nullptr);
    EXPECT_TRUE(read->isDefault());
    for (ControlId other : {ControlId::StopButton, ControlId::WriteButton, ControlId::ExitButton}) {
        EXPECT_FALSE(qobject_cast<QPushButton*>(dialog.widget(other))->isDefault());
    }

    showDialog();
    QSignalSpy readClicks(read, &QPushButton::clicked);
    QSignalSpy writeClicks(write, &QPushButton::clicked);
    QWidget* slaveId = dialog.widget(ControlId::SlaveId);
    slaveId->setFocus();
    QTest::keyClick(slaveId, Qt::Key_Return);
    EXPECT_EQ(readClicks.count(), 1);

    write->setFocus();
    QTest::keyClick(write, Qt::Key_Return);
    EXPECT_EQ(writeClicks.count(), 1);
    EXPECT_EQ(readClicks.count(), 1);
}

TEST_F(ConsoleDialogTest, MnemonicsReachTheirButtons)
{
    showDialog();
    // A mnemonic clicks its button a moment later, as a visible press.
    const auto displayModeAfter = [&](Qt::Key key, int wanted) {
        QTest::keyClick(&dialog, key, Qt::AltModifier);
        return dialog.waitWhileProcessingEvents(
            [&] { return dialog.index(ControlId::DisplayMode) == wanted; }, 5000);
    };
    EXPECT_TRUE(displayModeAfter(Qt::Key_H, Hex));
    EXPECT_TRUE(displayModeAfter(Qt::Key_D, Decimal));

    QSignalSpy readClicks(qobject_cast<QPushButton*>(dialog.widget(ControlId::ReadButton)),
                          &QPushButton::clicked);
    QTest::keyClick(&dialog, Qt::Key_R, Qt::AltModifier);
    EXPECT_TRUE(dialog.waitWhileProcessingEvents([&] { return readClicks.count() == 1; }, 5000));
}

TEST_F(ConsoleDialogTest, SettingTheShownTextAgainLeavesTheEditAlone)
{
    auto* edit = qobject_cast<QLineEdit*>(dialog.widget(ControlId::StartRegister));
    dialog.setText(ControlId::StartRegister, "1234");
    edit->setCursorPosition(2);
    QSignalSpy changes(edit, &QLineEdit::textChanged);

    dialog.setText(ControlId::StartRegister, "1234");
    EXPECT_EQ(changes.count(), 0);
    EXPECT_EQ(edit->cursorPosition(), 2) << "the caret must not jump while the operator types";

    dialog.setText(ControlId::StartRegister, "12345");
    EXPECT_EQ(changes.count(), 1);
}

TEST_F(ConsoleDialogTest, TextsKeepEveryByte)
{
    const std::string bytes = "a\xB5\xE9\xFF z";
    dialog.setText(ControlId::Value, bytes, 9);
    EXPECT_EQ(dialog.text(ControlId::Value, 9), bytes);
    EXPECT_EQ(dialog.text(ControlId::Value, 0), "");
    dialog.setText(ControlId::Address, bytes);
    EXPECT_EQ(dialog.text(ControlId::Address), bytes);
}

TEST_F(ConsoleDialogTest, IndexOutsideTheListShowsNothingAndReadsBackNone)
{
    for (ControlId id : {ControlId::Port,
                         ControlId::Baud,
                         ControlId::DataType,
                         ControlId::Parity,
                         ControlId::Wiring,
                         ControlId::SampleMode,
                         ControlId::Protocol,
                         ControlId::DisplayMode}) {
        SCOPED_TRACE(static_cast<int>(id));
        const bool group = id == ControlId::Protocol || id == ControlId::DisplayMode;
        const int count = group ? (id == ControlId::Protocol ? 3 : 2)
                                : qobject_cast<QComboBox*>(dialog.widget(id))->count();
        for (int outside : {-1, count, 17, -7}) {
            dialog.setIndex(id, count - 1);
            ASSERT_EQ(dialog.index(id), count - 1);
            dialog.setIndex(id, outside);
            EXPECT_EQ(dialog.index(id), -1) << outside;
            if (group) {
                for (int row = 0; row < count; ++row) {
                    EXPECT_FALSE(dialog.radioButton(id, row)->isChecked());
                }
            } else {
                EXPECT_EQ(dialog.text(id), "");
            }
        }
        dialog.setIndex(id, 1);
        EXPECT_EQ(dialog.index(id), 1);
        if (group) {
            // Still one of a kind once a button is chosen again.
            dialog.radioButton(id, 0)->click();
            EXPECT_FALSE(dialog.radioButton(id, 1)->isChecked());
        }
    }
}

// Counts the paints of one control, and whether its last change has been painted.
class PaintWatch : public QObject
{
public:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            unpainted = false;
        }
        return false;
    }

    int paints = 0;
    bool unpainted = false;
};

TEST_F(ConsoleDialogTest, ChangesFasterThanTheScreenArePaintedOnceAFrameTheLastOneToo)
{
    showDialog();
    PaintWatch watch;
    QWidget* count = dialog.widget(ControlId::TransactionCount);
    count->installEventFilter(&watch);
    QElapsedTimer elapsed;
    elapsed.start();
    constexpr int kChanges = 60;
    for (int i = 1; i <= kChanges; ++i) {
        dialog.setText(ControlId::TransactionCount, std::to_string(i));
        watch.unpainted = true;
        EXPECT_EQ(dialog.text(ControlId::TransactionCount), std::to_string(i))
            << "a change is in the control at once";
        QCoreApplication::processEvents();
    }
    // A frame is at most 1/60 s here; a paint for every change would be 60.
    const auto frames = static_cast<int>(elapsed.elapsed() / 16);
    EXPECT_LE(watch.paints, frames + 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !watch.unpainted; }, 5000))
        << "the last change must be painted, however soon after the one before";
}

TEST_F(ConsoleDialogTest, TimerStartedAgainIsReplacedAndNeverSpins)
{
    const auto active = [&] {
        std::vector<QTimer*> running;
        for (QTimer* timer : dialog.findChildren<QTimer*>()) {
            if (timer->isActive()) {
                running.push_back(timer);
            }
        }
        return running;
    };
    dialog.startTimer(1, 0);
    ASSERT_EQ(active().size(), 1u);
    EXPECT_EQ(active()[0]->interval(), 1) << "a period of 0 would fire on every loop pass";
    EXPECT_EQ(active()[0]->timerType(), Qt::PreciseTimer);
    dialog.startTimer(1, 250);
    ASSERT_EQ(active().size(), 1u);
    EXPECT_EQ(active()[0]->interval(), 250);
    dialog.startTimer(2, -5);
    EXPECT_EQ(active().size(), 2u);
    dialog.killTimer(1);
    dialog.killTimer(2);
    EXPECT_TRUE(active().empty());
}

// Texts from outside (a slave's identification, an address, a device's name) may hold what looks
// like markup; every box and tooltip shows them character for character, line breaks included.
TEST_F(ConsoleDialogTest, BoxesAndTooltipsShowTheirTextAsItIs)
{
    const std::string identification = "Vendor Name:  <b>Quarin</b>\n\rProduct Code:  QM-1\n\r";
    std::string boxText;
    QTimer::singleShot(0, &dialog, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxText = seen(box->text(), box->textFormat());
            box->button(QMessageBox::Ok)->click();
        }
    });
    dialog.messageBox(identification, MessageIcon::Information);
    EXPECT_EQ(boxText, identification);

    const std::string address = "Slave IP = <i>plc</i> - Timeout waiting on a response";
    dialog.showNotice(address);
    dialog.showInformation(address);
    int notices = 0;
    for (QMessageBox* box : dialog.findChildren<QMessageBox*>()) {
        if (box->isVisible() && !box->isModal()) {
            ++notices;
            EXPECT_EQ(seen(box->text(), box->textFormat()), address);
            box->close();
        }
    }
    EXPECT_EQ(notices, 2);

    const std::string tip = "COM2 opens /dev/<b>x</b> <ttyUSB0>\nOpen in:  812 <minicom>";
    dialog.setToolTipSources([&](int) { return tip; }, [&](int) { return tip; });
    auto* port = qobject_cast<QComboBox*>(dialog.widget(ControlId::Port));
    QWidget* label = dialog.widget(ControlId::RegisterLabel, 0);
    hover(port);
    hover(label);
    EXPECT_EQ(seen(port->toolTip()), tip);
    EXPECT_EQ(seen(label->toolTip()), tip);
    dialog.setItemToolTip(ControlId::Port, 2, tip);
    EXPECT_EQ(seen(port->itemData(2, Qt::ToolTipRole).toString()), tip);
}

} // namespace
} // namespace quarin::qt
