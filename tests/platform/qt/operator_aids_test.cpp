// The window's side of the operator aids: tooltips made on hover, the detail of a box, the trace
// shortcut. None of them changes a control's text.
#include <string>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "console/master_dlg.h"
#include "platform/qt/console_dialog.h"
#include "support/fake_port_probe.h"
#include "window_fixture.h"

namespace quarin::qt {
namespace {

std::string utf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

class OperatorAidsTest : public WindowFixture<>
{
protected:
    void SetUp() override
    {
        PortIdentity adapter = test::ftdiAdapterAt("COM2");
        adapter.holders = {{812, "minicom", false}};
        probe.ports["COM2"] = adapter;
        console.setPortProbe(&probe);
        WindowFixture::SetUp();
    }

    test::FakePortProbe probe;
};

TEST_F(OperatorAidsTest, RegisterLabelsExplainTheirRegister)
{
    auto* first = qobject_cast<QLineEdit*>(dialog.widget(ControlId::RegisterLabel, 0));
    auto* second = qobject_cast<QLineEdit*>(dialog.widget(ControlId::RegisterLabel, 1));
    hover(first);
    hover(second);
    EXPECT_EQ(utf8(first->toolTip()), "400001 = Jbus 0 = 0x0000");
    EXPECT_EQ(utf8(second->toolTip()), "");

    dialog.setText(ControlId::RegisterCount, "2");
    console.refreshLabels();
    hover(second);
    EXPECT_EQ(utf8(second->toolTip()), "400002 = Jbus 1 = 0x0001");
    EXPECT_EQ(dialog.text(ControlId::RegisterLabel, 1), "400002") << "the label is unchanged";
}

TEST_F(OperatorAidsTest, ThePortTipTellsWhereTheChosenEntryLeads)
{
    auto* port = qobject_cast<QComboBox*>(dialog.widget(ControlId::Port));
    hover(port);
    EXPECT_EQ(utf8(port->toolTip()), "") << "TCP/IP leads to no device";

    dialog.setIndex(ControlId::Port, 2);
    hover(port);
    const std::string tip = utf8(port->toolTip());
    EXPECT_EQ(tip, console.portToolTip(2));
    EXPECT_NE(tip.find("Open in: 812 minicom"), std::string::npos) << tip;
    EXPECT_EQ(dialog.text(ControlId::Port), "COM2");
}

TEST_F(OperatorAidsTest, EachEntryOfTheOpenListHasItsTip)
{
    auto* port = qobject_cast<QComboBox*>(dialog.widget(ControlId::Port));
    port->showPopup();
    QAbstractItemView* list = port->view();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(list->window()));
    const QModelIndex second = list->model()->index(2, 0);
    list->scrollTo(second);
    hover(list->viewport(), list->visualRect(second).center());
    port->hidePopup();
    EXPECT_EQ(utf8(port->itemData(2, Qt::ToolTipRole).toString()), console.portToolTip(2));
    EXPECT_EQ(utf8(port->itemText(2)), "COM2");
}

TEST_F(OperatorAidsTest, AFailureBoxUnfoldsItsDetail)
{
    std::string text;
    std::string detail;
    QTimer::singleShot(0, &dialog, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = utf8(box->text());
            detail = utf8(box->detailedText());
            box->button(QMessageBox::Ok)->click();
        }
    });
    dialog.messageBoxWithDetail(
        "Unable to capture Port", MessageIcon::Error, "errno 16 EBUSY (Device or resource busy)");
    EXPECT_EQ(text, "Unable to capture Port");
    EXPECT_EQ(detail, "errno 16 EBUSY (Device or resource busy)");

    QTimer::singleShot(0, &dialog, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            detail = utf8(box->detailedText());
            box->button(QMessageBox::Ok)->click();
        }
    });
    dialog.messageBox("Please enter an integer.", MessageIcon::Error);
    EXPECT_EQ(detail, "") << "a plain box has no detail";
}

TEST_F(OperatorAidsTest, ControlTTogglesTheTraceWithANotice)
{
    auto notices = [&] {
        std::vector<QMessageBox*> boxes;
        for (QMessageBox* box : dialog.findChildren<QMessageBox*>()) {
            if (box->isVisible() && !box->isModal()) {
                boxes.push_back(box);
            }
        }
        return boxes;
    };
    EXPECT_FALSE(console.frameTraceOn());
    QTest::keyClick(&dialog, Qt::Key_T, Qt::ControlModifier);
    EXPECT_TRUE(console.frameTraceOn());
    std::vector<QMessageBox*> shown = notices();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(utf8(shown[0]->text()), kTraceOn);
    EXPECT_EQ(shown[0]->icon(), QMessageBox::Information);

    // The notice may have the focus: the shortcut works there too.
    QTest::keyClick(shown[0], Qt::Key_T, Qt::ControlModifier);
    EXPECT_FALSE(console.frameTraceOn());
    shown = notices();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(utf8(shown[1]->text()), kTraceOff);
    for (QMessageBox* box : shown) {
        box->close();
    }
}

} // namespace
} // namespace quarin::qt
