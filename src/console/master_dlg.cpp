#include "console/master_dlg.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "console/console_texts.h"
#include "console/failure_detail.h"
#include "messages/format_text.h"
#include "messages/value_text.h"

namespace quarin {

namespace {

constexpr int kReadCommand = 1;
constexpr int kWriteCommand = 2;

// How long the window's thread waits for a halted worker before leaving it behind.
constexpr int kHaltWaitMs = 1200;

// The displays are written several times in every transaction: plain decimal digits, without a
// format to parse.
template <typename Number> std::string decimalText(Number value)
{
    char digits[16];
    const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
    return std::string(digits, written.ptr);
}

std::string numberText(int value)
{
    return decimalText(value);
}

std::string unsignedText(std::uint32_t value)
{
    return decimalText(value);
}

// Read-only displays hold what showTransfer wrote; anything else leaves the field as it was.
void readUnsigned(const std::string& text, std::uint32_t& field)
{
    std::uint32_t value = 0;
    bool digits = false;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return;
        }
        const std::uint64_t next = std::uint64_t{value} * 10u + static_cast<unsigned>(c - '0');
        if (next > 0xFFFFFFFFu) {
            return;
        }
        value = static_cast<std::uint32_t>(next);
        digits = true;
    }
    if (digits) {
        field = value;
    }
}

} // namespace

void ZeroRowsFrom(ValueTexts& rows, std::size_t first)
{
    for (std::size_t k = first; k < rows.size(); ++k) {
        rows[k].assign(1, '0'); // not = "0": g++ 12 at -O2 warns falsely (-Wrestrict)
    }
}

CMasterDlg::CMasterDlg(ConsoleView& view, Platform& platform, std::uint16_t tcpPort)
    : m_view(view), m_platform(platform), m_tcpPort(tcpPort)
{}

CMasterDlg::~CMasterDlg() = default;

bool CMasterDlg::onWindow(const std::function<void()>& fn)
{
    if (m_view.onWindowThread()) {
        fn();
        return true;
    }
    return m_view.runOnWindowThread(fn);
}

void CMasterDlg::showMessage(const Fault& fault, MessageIcon icon, std::string detail)
{
    if (halted()) {
        return;
    }
    const std::string& text = fault.text;
    if (detail.empty() && icon == MessageIcon::Error) {
        detail = FailureDetail(fault);
    }
    if (icon == MessageIcon::Error && !SerialLineNote().empty()) {
        detail += (detail.empty() ? "" : "\n\n") + SerialLineNote();
    }
    onWindow([&] {
        if (icon == MessageIcon::Error) {
            noteFailure(text);
        }
        if (detail.empty()) {
            m_view.messageBox(text, icon);
        } else {
            m_view.messageBoxWithDetail(text, icon, detail);
        }
    });
}

void CMasterDlg::setBusyCursor(bool busy)
{
    onWindow([&] { m_view.setBusyCursor(busy); });
}

bool CMasterDlg::changeRecord(const std::function<void()>& change)
{
    return onWindow([&] {
        change();
        showTransfer();
    });
}

void CMasterDlg::endTransaction()
{
    // The transaction's time has been taken by now, so writing its frames costs it nothing.
    flushTrace();
    m_runEntryOpen = false;
    m_busy.store(false, std::memory_order_release);
}

void CMasterDlg::sendUpdateConsole()
{
    onWindow([this] { showTransfer(); });
}

// ---------------------------------------------------------------------------------------------
// Transfers

void CMasterDlg::saveTransfer()
{
    ConsoleSettings& s = m_settings;
    // A numeric edit that is not an integer ends the transfer there: the fields before it keep
    // their new values, it and those after it their old ones.
    auto readInt = [&](ControlId id, int& field) {
        const std::optional<int> value = ParseStrictInteger(m_view.text(id));
        if (!value) {
            m_view.messageBox(kEnterInteger, MessageIcon::Error);
            m_view.setFocus(id);
            return false;
        }
        field = *value;
        return true;
    };

    s.m_port = m_view.index(ControlId::Port);
    s.m_baudRate = m_view.index(ControlId::Baud);
    s.m_dataType = static_cast<DataType>(m_view.index(ControlId::DataType));
    if (!readInt(ControlId::SlaveId, s.m_slaveId) ||
        !readInt(ControlId::StartRegister, s.m_startRegister) ||
        !readInt(ControlId::RegisterCount, s.m_registerCount)) {
        return;
    }
    for (int row = 0; row < kValueRows; ++row) {
        m_registerLabels[static_cast<std::size_t>(row)] =
            m_view.text(ControlId::RegisterLabel, row);
    }
    s.m_protocol = static_cast<ProtocolVariant>(m_view.index(ControlId::Protocol));
    s.m_parity = m_view.index(ControlId::Parity);
    s.m_address = m_view.text(ControlId::Address);
    readUnsigned(m_view.text(ControlId::TransactionTime), m_stats.lastMs);
    s.m_wiring = static_cast<WiringMode>(m_view.index(ControlId::Wiring));
    if (!readInt(ControlId::Timeout, s.m_timeoutMs) ||
        !readInt(ControlId::SampleRate, s.m_sampleRateMs)) {
        return;
    }
    readUnsigned(m_view.text(ControlId::ErrorCount), m_stats.errorCount);
    readUnsigned(m_view.text(ControlId::TransactionCount), m_stats.transactionCount);
    s.m_sampleMode = static_cast<SampleMode>(m_view.index(ControlId::SampleMode));
    s.m_displayMode = static_cast<DisplayMode>(m_view.index(ControlId::DisplayMode));
    for (int row = 0; row < kValueRows; ++row) {
        s.m_values[static_cast<std::size_t>(row)] = m_view.text(ControlId::Value, row);
    }
    readUnsigned(m_view.text(ControlId::MinTime), m_stats.shownMinMs);
    readUnsigned(m_view.text(ControlId::MaxTime), m_stats.shownMaxMs);
}

void CMasterDlg::showTransfer()
{
    const ConsoleSettings& s = m_settings;
    m_view.setIndex(ControlId::Port, s.m_port);
    m_view.setIndex(ControlId::Baud, s.m_baudRate);
    m_view.setIndex(ControlId::DataType, s.m_dataType);
    m_view.setText(ControlId::SlaveId, numberText(s.m_slaveId));
    m_view.setText(ControlId::StartRegister, numberText(s.m_startRegister));
    m_view.setText(ControlId::RegisterCount, numberText(s.m_registerCount));
    for (int row = 0; row < kValueRows; ++row) {
        m_view.setText(
            ControlId::RegisterLabel, m_registerLabels[static_cast<std::size_t>(row)], row);
    }
    m_view.setIndex(ControlId::Protocol, s.m_protocol);
    m_view.setIndex(ControlId::Parity, s.m_parity);
    m_view.setText(ControlId::Address, s.m_address);
    m_view.setText(ControlId::TransactionTime, unsignedText(m_stats.lastMs));
    m_view.setIndex(ControlId::Wiring, s.m_wiring);
    m_view.setText(ControlId::Timeout, numberText(s.m_timeoutMs));
    m_view.setText(ControlId::SampleRate, numberText(s.m_sampleRateMs));
    m_view.setText(ControlId::ErrorCount, unsignedText(m_stats.errorCount));
    m_view.setText(ControlId::TransactionCount, unsignedText(m_stats.transactionCount));
    m_view.setIndex(ControlId::SampleMode, s.m_sampleMode);
    m_view.setIndex(ControlId::DisplayMode, s.m_displayMode);
    for (int row = 0; row < kValueRows; ++row) {
        m_view.setText(ControlId::Value, s.m_values[static_cast<std::size_t>(row)], row);
    }
    m_view.setText(ControlId::MinTime, unsignedText(m_stats.shownMinMs));
    m_view.setText(ControlId::MaxTime, unsignedText(m_stats.shownMaxMs));
}

// ---------------------------------------------------------------------------------------------
// Window events

bool CMasterDlg::onInitDialog()
{
    showTransfer();
    if (!loadSettings()) {
        return false;
    }
    showTransfer();
    m_workerStarted = false;
    return true;
}

void CMasterDlg::applyPortRules()
{
    saveTransfer();
    const bool tcp = m_settings.m_port == 0;
    m_view.setEnabled(ControlId::Address, tcp);
    m_view.setEnabled(ControlId::Baud, !tcp);
    m_view.setEnabled(ControlId::Parity, !tcp);
    m_view.setEnabled(ControlId::Protocol, !tcp, Jbus);
    m_view.setEnabled(ControlId::Protocol, !tcp, ModbusAscii);
    m_view.setEnabled(ControlId::Wiring, !tcp);
    if (tcp) {
        m_settings.m_protocol = Modbus;
        showTransfer();
        showModbusLabels();
    }
    refreshLabels();
}

void CMasterDlg::enableDataTypeControls()
{
    // Rows: count, Read, Write, start register, sample mode, value 1, values 2..10.
    struct Row
    {
        bool count, read, write, start, sampleMode, value1, values;
    };

    // clang-format off
    static constexpr Row kTable[] = {
        /* HoldingRegister       */ {true,  true, true,  true,  true,  true,  true},
        /* InputRegister         */ {true,  true, false, true,  true,  true,  true},
        /* SingleHoldingRegister */ {false, true, true,  true,  true,  true,  false},
        /* ScatteredRead         */ {true,  true, false, true,  true,  true,  true},
        /* DeviceIdentification  */ {false, true, false, false, false, false, false},
    };
    // clang-format on
    const int type = m_settings.m_dataType;
    if (type < HoldingRegister || type > DeviceIdentification) {
        return;
    }
    const Row& row = kTable[type];
    m_view.setEnabled(ControlId::RegisterCount, row.count);
    m_view.setEnabled(ControlId::ReadButton, row.read);
    m_view.setEnabled(ControlId::WriteButton, row.write);
    m_view.setEnabled(ControlId::StartRegister, row.start);
    m_view.setEnabled(ControlId::SampleMode, row.sampleMode);
    m_view.setEnabled(ControlId::Value, row.value1, 0);
    for (int i = 1; i < kValueRows; ++i) {
        m_view.setEnabled(ControlId::Value, row.values, i);
    }
}

void CMasterDlg::applyDataTypeRules()
{
    saveTransfer();
    ConsoleSettings& s = m_settings;
    switch (s.m_dataType) {
    case SingleHoldingRegister:
        s.m_heldRegisterCount = s.m_registerCount;
        s.m_registerCount = 1;
        ZeroRowsFrom(s.m_values, 1);
        ZeroRowsFrom(m_registerLabels, 1);
        break;
    case HoldingRegister:
    case InputRegister:
    case ScatteredRead:
        if (s.m_heldRegisterCount != 0) {
            s.m_registerCount = s.m_heldRegisterCount;
            s.m_heldRegisterCount = 0;
        }
        break;
    case DeviceIdentification:
        s.m_sampleMode = Manual;
        break;
    }
    showTransfer();
    enableDataTypeControls();
    if (s.m_dataType != DeviceIdentification) {
        refreshLabels();
    }
}

void CMasterDlg::onSlaveIdChanged()
{
    saveTransfer();
}

void CMasterDlg::checkSampleRate()
{
    saveTransfer();
    if (m_settings.m_sampleMode == Manual) {
        return;
    }
    if (m_settings.m_sampleRateMs >= 1 && m_settings.m_sampleRateMs <= 60000) {
        return;
    }
    m_view.messageBox(kSampleRateRange, MessageIcon::Error);
    m_settings.m_sampleRateMs = 1;
    showTransfer();
}

void CMasterDlg::selectAscii()
{
    showModbusLabels();
    m_view.setEnabled(ControlId::Parity, false);
    m_settings.m_parity = 0;
    m_settings.m_protocol = ModbusAscii;
    showTransfer();
}

void CMasterDlg::changeDisplayMode()
{
    const DisplayMode before = m_settings.m_displayMode;
    saveTransfer();
    if (m_settings.m_displayMode == before) {
        return;
    }
    const bool toHex = m_settings.m_displayMode == Hex;
    for (std::string& value : m_settings.m_values) {
        value = toHex ? DecimalToHexText(value) : HexToDecimalText(value);
    }
    showTransfer();
}

// ---------------------------------------------------------------------------------------------
// Commands and the scheduler

void CMasterDlg::startCommand(int command)
{
    if (m_closing) {
        return;
    }
    // The last scheduled transaction may still hold the link after Stop: run the command when it
    // has let go, so two transactions never share a link.
    if (busy()) {
        m_deferredCommand = command;
        m_view.startTimer(kDeferredCommandTimer, 10);
        return;
    }
    if (command == kReadCommand) {
        onRead();
    } else {
        onWrite();
    }
}

void CMasterDlg::readTransaction(bool serial)
{
    if (serial) {
        SerialRead();
    } else {
        TcpRead();
    }
}

void CMasterDlg::onRead()
{
    // Closing, it does nothing; while the link is held, it waits for it.
    if (m_closing || busy()) {
        startCommand(kReadCommand);
        return;
    }
    saveTransfer();
    m_stats.errorCount = 0;
    m_stats.transactionCount = 0;
    m_stats.maxMs = 0;
    m_stats.minMs = 4294967295u;
    m_run.begin(m_platform.clock.now());
    m_runEntryOpen = false;
    m_logFailureShown = false;
    if (m_settings.m_sampleMode == Manual) {
        m_busy.store(true, std::memory_order_relaxed);
        readTransaction(m_settings.serial());
        // Read refreshes once more after a manual transaction.
        showTransfer();
        return;
    }
    enableRunChoices(false);
    m_view.setEnabled(ControlId::WriteButton, false);
    m_view.setEnabled(ControlId::ReadButton, false);
    m_view.setEnabled(ControlId::StopButton, true);
    enableLinkSettings(false);
    m_view.startTimer(kScheduleTimer, 1);
    m_timerId = kScheduleTimer;
    showTransfer();
}

void CMasterDlg::onWrite()
{
    // Closing, it does nothing; while the link is held, it waits for it.
    if (m_closing || busy()) {
        startCommand(kWriteCommand);
        return;
    }
    saveTransfer();
    m_busy.store(true, std::memory_order_relaxed);
    // The window offers Write for the two holding-register types only.
    if (WritableType(m_settings.m_dataType)) {
        const BusyCursor cursor(*this);
        if (m_settings.serial()) {
            SerialWrite();
        } else {
            TcpWrite();
        }
    }
    endTransaction();
}

void CMasterDlg::onStop()
{
    if (m_settings.m_sampleMode == ScheduledWithLogging) {
        reportFailure(formatText(kLoggingStopped,
                                 static_cast<int>(m_stats.errorCount),
                                 static_cast<int>(m_stats.transactionCount)),
                      Notice);
    }
    m_view.killTimer(kScheduleTimer);
    m_timerId = 0;
    enableLinkSettings(true);
    enableRunChoices(true);
    m_view.setEnabled(ControlId::WriteButton, WritableType(m_settings.m_dataType));
    m_view.setEnabled(ControlId::ReadButton, true);
    m_view.setEnabled(ControlId::StopButton, false);
    showTransfer();
}

void CMasterDlg::enableRunChoices(bool enabled)
{
    for (ControlId id :
         {ControlId::SampleMode, ControlId::Port, ControlId::Timeout, ControlId::DataType}) {
        m_view.setEnabled(id, enabled);
    }
}

void CMasterDlg::enableLinkSettings(bool enabled)
{
    if (!m_settings.serial()) {
        m_view.setEnabled(ControlId::Address, enabled);
        return;
    }
    for (ControlId id : {ControlId::Baud, ControlId::Parity, ControlId::Wiring}) {
        m_view.setEnabled(id, enabled);
    }
}

void CMasterDlg::onTimer(int id)
{
    if (m_closing) {
        return;
    }
    if (id == kDeferredCommandTimer) {
        if (busy()) {
            return;
        }
        m_view.killTimer(kDeferredCommandTimer);
        const int command = std::exchange(m_deferredCommand, 0);
        if (command != 0) {
            startCommand(command);
        }
        return;
    }
    if (id != kScheduleTimer || m_timerId == 0) {
        return;
    }
    // A period of 0 or below would spin; the stored rate stays as the operator set it.
    m_view.startTimer(kScheduleTimer, std::max(1, m_settings.m_sampleRateMs));
    m_timerId = kScheduleTimer;
    if (busy() || halted()) {
        return;
    }
    m_busy.store(true, std::memory_order_relaxed);
    m_workerStarted = true;
    m_platform.workers.start([this] { workerBody(); });
}

void CMasterDlg::workerBody()
{
    // The link is chosen on the window's thread, where a transfer may be writing the record.
    bool serial = false;
    if (!onWindow([&] {
            saveTransfer();
            ++m_stats.transactionCount;
            showTransfer(); // the display is read back by every transfer
            serial = m_settings.serial();
        })) {
        endTransaction();
        return;
    }
    readTransaction(serial);
}

void CMasterDlg::onExit()
{
    // The waits below and the save's boxes run the window's events: a click, a deferred command
    // or a tick arriving then must not start a transaction.
    if (m_closing) {
        return;
    }
    m_closing = true;
    m_view.killTimer(kScheduleTimer);
    m_view.killTimer(kDeferredCommandTimer);
    if (m_workerStarted) {
        m_platform.halt.raise();
        m_view.halt();
        m_view.waitWhileProcessingEvents([this] { return m_platform.workers.running() == 0; },
                                         kHaltWaitMs);
    }
    saveSettings();
    m_view.closeWindow();
}

void CMasterDlg::onDestroy()
{
    m_closing = true;
    m_view.killTimer(kScheduleTimer);
    m_view.killTimer(kDeferredCommandTimer);
    m_timerId = 0;
    m_platform.halt.raise();
    m_view.halt();
    if (m_workerStarted) {
        m_view.waitWhileProcessingEvents([this] { return m_platform.workers.running() == 0; },
                                         kHaltWaitMs);
    }
    // A worker left behind still owns the link; it changes nothing after the halt.
    if (m_platform.workers.running() == 0) {
        closeTcpLink();
    }
}

} // namespace quarin
