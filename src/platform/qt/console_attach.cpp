// Kept apart from the rest of the window so that the window can be built and tested without a
// console behind it.
#include <utility>

#include <QComboBox>
#include <QKeySequence>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>

#include "console/master_dlg.h"
#include "platform/qt/console_dialog.h"
#include "platform/qt/timing_window.h"
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
    for (int row = 0; row < kValueRows; ++row) {
        addToolTipSource(widget(ControlId::Value, row),
                         [console, row] { return console->valueToolTip(row); });
    }
    for (ControlId id : {ControlId::TransactionTime, ControlId::MinTime, ControlId::MaxTime}) {
        addToolTipSource(widget(id), [console] { return console->timesToolTip(); });
    }
    // G for graph: no control's mnemonic, and no editing key of the line edits.
    auto* timing = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_G), this);
    timing->setContext(Qt::ApplicationShortcut);
    connect(timing, &QShortcut::activated, this, [this, console] {
        showTimingWindow(console->runRecord());
    });
}

void ConsoleDialog::addToolTipSource(QWidget* widget, std::function<std::string()> source)
{
    widget->installEventFilter(this);
    m_toolTipSources.emplace_back(widget, std::move(source));
}

void ConsoleDialog::showTimingWindow(const RunRecord& run)
{
    if (m_timingWindow == nullptr) {
        m_timingWindow = new TimingWindow(run, this);
    }
    m_timingWindow->show();
    m_timingWindow->raise();
    m_timingWindow->activateWindow();
}

} // namespace quarin::qt
