// Kept apart from the rest of the window so that the window can be built and tested without a
// console behind it.
#include <QComboBox>
#include <QKeySequence>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>

#include "console/master_dlg.h"
#include "platform/qt/console_dialog.h"
#include "ui_console_dialog.h"

namespace quarin::qt {

void ConsoleDialog::attach(CMasterDlg* console)
{
    const Ui::ConsoleDialog& ui = *m_ui;
    const auto to = [console](void (CMasterDlg::*handler)()) {
        return [console, handler] { (console->*handler)(); };
    };

    // Only the operator's changes run handlers: setIndex selects with the signals blocked, and
    // textEdited ignores programmatic texts. Picking the entry already chosen changes nothing
    // (choosing the single register type again would otherwise lose the held count).
    connect(ui.portCombo, &QComboBox::currentIndexChanged, this, to(&CMasterDlg::applyPortRules));
    connect(ui.dataTypeCombo,
            &QComboBox::currentIndexChanged,
            this,
            to(&CMasterDlg::applyDataTypeRules));
    connect(ui.startRegisterEdit, &QLineEdit::textEdited, this, to(&CMasterDlg::refreshLabels));
    connect(ui.registerCountEdit, &QLineEdit::textEdited, this, to(&CMasterDlg::refreshLabels));
    connect(ui.slaveIdEdit, &QLineEdit::textEdited, this, to(&CMasterDlg::onSlaveIdChanged));
    connect(ui.sampleRateEdit, &QLineEdit::textEdited, this, to(&CMasterDlg::checkSampleRate));

    // clicked, not toggled: a click on the button already checked runs its handler too.
    connect(ui.modbusRadio, &QRadioButton::clicked, this, to(&CMasterDlg::showModbusLabels));
    connect(ui.jbusRadio, &QRadioButton::clicked, this, to(&CMasterDlg::showJbusLabels));
    connect(ui.asciiRadio, &QRadioButton::clicked, this, to(&CMasterDlg::selectAscii));
    connect(ui.decimalRadio, &QRadioButton::clicked, this, to(&CMasterDlg::changeDisplayMode));
    connect(ui.hexRadio, &QRadioButton::clicked, this, to(&CMasterDlg::changeDisplayMode));

    connect(ui.readButton, &QPushButton::clicked, this, to(&CMasterDlg::onRead));
    connect(ui.writeButton, &QPushButton::clicked, this, to(&CMasterDlg::onWrite));
    connect(ui.stopButton, &QPushButton::clicked, this, to(&CMasterDlg::onStop));
    connect(ui.exitButton, &QPushButton::clicked, this, to(&CMasterDlg::onExit));

    m_timerHandler = [console](int id) { console->onTimer(id); };
    m_viewLogHandler = to(&CMasterDlg::viewLog);
    m_destroyHandler = to(&CMasterDlg::onDestroy);

    // Operator aids, beside the console's own controls.
    // Also while its own notice has the focus; a modal box still blocks it.
    auto* trace = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_T), this);
    trace->setContext(Qt::ApplicationShortcut);
    connect(trace, &QShortcut::activated, this, to(&CMasterDlg::toggleFrameTrace));
    setToolTipSources([console](int port) { return console->portToolTip(port); },
                      [console](int row) { return console->registerLabelToolTip(row); });
}

} // namespace quarin::qt
