#pragma once

// The real dialog offscreen with a console on the fakes behind it, shown and active.

#include <QApplication>
#include <QHelpEvent>
#include <QTest>
#include <gtest/gtest.h>

#include "console/master_dlg.h"
#include "platform/qt/console_dialog.h"
#include "support/fake_platform.h"

namespace quarin::qt {

inline void showActive(QWidget& window)
{
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

// What Qt sends a widget when the mouse rests on it.
inline void hover(QWidget* widget, QPoint at = QPoint(4, 4))
{
    QHelpEvent help(QEvent::ToolTip, at, widget->mapToGlobal(at));
    QApplication::sendEvent(widget, &help);
}

template <typename Dialog = ConsoleDialog> class WindowFixture : public testing::Test
{
protected:
    void SetUp() override
    {
        dialog.attach(&console);
        ASSERT_TRUE(console.onInitDialog());
        showActive(dialog);
    }

    void TearDown() override { dialog.finish(); }

    test::FakePlatform fake;
    Dialog dialog;
    CMasterDlg console{dialog, fake.platform};
};

} // namespace quarin::qt
