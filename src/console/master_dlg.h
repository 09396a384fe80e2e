#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_settings.h"
#include "console/console_view.h"
#include "console/frame_trace.h"
#include "console/run_record.h"
#include "messages/fault.h"
#include "messages/framing.h"
#include "messages/mbap_header.h"
#include "messages/read_pdu.h"
#include "messages/write_pdu.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/port_probe.h"
#include "platform/serial_port.h"
#include "platform/socket_api.h"
#include "transactions/write_validation.h"

namespace quarin {

enum ReportKind : int
{
    Failure,
    LinkFailure,
    Notice
};

// Rows from first on hold "0".
void ZeroRowsFrom(ValueTexts& rows, std::size_t first);

// The console: owns the record, the statistics, the labels, the scheduler and the link state, and
// every operation on them. It draws through ConsoleView and reaches the OS through Platform.
//
// Threads: the record, the statistics and the labels are touched on the window's thread only; a
// transaction on the worker reaches them through onWindow(). The link state and the request
// counters belong to whoever holds m_busy (the window's thread when no worker runs).
class CMasterDlg
{
public:
    CMasterDlg(ConsoleView& view, Platform& platform, std::uint16_t tcpPort = kModbusTcpPort);
    ~CMasterDlg();
    CMasterDlg(const CMasterDlg&) = delete;
    CMasterDlg& operator=(const CMasterDlg&) = delete;

    // Window events, all on the window's thread.
    bool onInitDialog(); // false: incompatible settings file, the window closes
    void applyPortRules();
    void applyDataTypeRules();
    void refreshLabels();
    void onSlaveIdChanged();
    void checkSampleRate();
    void showModbusLabels();
    void showJbusLabels();
    void selectAscii();
    void changeDisplayMode();
    void onRead();
    void onWrite();
    void onStop();
    void onTimer(int id);
    void onExit();
    void viewLog();
    // Halts a running worker and releases the link; the window is going away.
    void onDestroy();

    // Transfers between the controls and the record.
    void saveTransfer();
    void showTransfer();
    // WM_UPDATE_CONSOLE: the record shown on the window's thread, from any thread.
    void sendUpdateConsole();

    void recordTransactionTime(TimeStamp start, TimeStamp end);
    void reportFailure(const Fault& fault, ReportKind kind);

    // Transactions.
    void SerialRead();
    void TcpRead();
    void SerialWrite();
    void TcpWrite();

    // Link. False when the link is not open: connectFailure then holds the connect error for the
    // caller to report; without it a box has been shown.
    bool openTcpLink(const std::string& address, std::optional<Fault>& connectFailure);
    bool sendTcpRequest(std::span<const std::uint8_t> frame, int waitLimit, Fault& failure);
    std::optional<std::size_t>
    receiveTcpReply(std::span<std::uint8_t> buffer, int waitLimit, Fault& failure);
    void closeTcpLink();

    // Settings file.
    bool loadSettings();
    void saveSettings();

    // Operator aids: information beside the console's texts, never in them. Window's thread.
    // Without a probe the port tooltip and the capture detail say less.
    void setPortProbe(const PortProbe* probe) { m_portProbe = probe; }

    std::string portToolTip(int portIndex) const;
    std::string registerLabelToolTip(int row) const;
    // What the value field of row holds read other ways; empty when it holds no register.
    std::string valueToolTip(int row) const;
    // How the slave has answered in this run: the tooltip of the three time fields.
    std::string timesToolTip() const;

    // Every transaction of the current run, reset where the run's extremes are.
    const RunRecord& runRecord() const { return m_run; }

    // Every frame sent and received goes to Quarin.trace while on; off at start, not stored.
    void toggleFrameTrace();

    bool frameTraceOn() const { return m_trace.enabled(); }

    // For tests and the window.
    const ConsoleSettings& settings() const { return m_settings; }

    ConsoleSettings& settings() { return m_settings; }

    const TransactionStats& stats() const { return m_stats; }

    TransactionStats& stats() { return m_stats; }

    const ValueTexts& registerLabels() const { return m_registerLabels; }

    bool labelsJbusForm() const { return m_labelsJbusForm; }

    bool busy() const { return m_busy.load(std::memory_order_acquire); }

    bool connected() const { return m_connected; }

    std::uint8_t scatterTransactionNo() const { return m_scatterTransactionNo; }

    std::uint16_t mbapTransactionNo() const { return m_mbapTransactionNo; }

    bool scheduleRunning() const { return m_timerId != 0; }

    static constexpr int kScheduleTimer = 1;
    static constexpr int kDeferredCommandTimer = 2;

private:
    // Runs fn on the window's thread and waits; false once halted (fn not run).
    bool onWindow(const std::function<void()>& fn);

    bool halted() const { return m_platform.halt.raised(); }

    // An error box without a detail gets the one its fault calls for (FailureDetail).
    void showMessage(const Fault& fault, MessageIcon icon, std::string detail = {});
    std::string captureFailureDetail(int portIndex) const;
    // Trace hooks of the transactions: no work at all while the trace is off.
    void traceSent(const ConsoleSettings& s,
                   TimeStamp start,
                   std::span<const std::uint8_t> frame,
                   std::size_t left);
    void traceEcho(std::span<const std::uint8_t> bytes);
    void traceReceived(std::span<const std::uint8_t> bytes, bool failed = false);
    void flushTrace();
    // The transaction's verdict in the run record; window's thread.
    void noteFailure(std::string_view text);
    void setBusyCursor(bool busy);
    // A transaction's change to the record, shown in the same call on the window's thread: a
    // transfer made in between would read the old controls back over it. False once halted.
    bool changeRecord(const std::function<void()>& change);
    void endTransaction(); // clears m_busy, publishing the transaction's writes

    enum LabelForm
    {
        ModbusLabels, // "4" or "3" and five digits: 400001
        JbusLabels    // the register number alone
    };

    void writeLabels(LabelForm form);
    void showLabels(LabelForm form);
    void applyProtocolLine(int protocol);

    void readTransaction(bool serial);
    bool prepareWrite(WriteLabels labels, ConsoleSettings& s, WriteRequest& request);

    // The steps the transactions share (transaction_steps.cpp).
    enum LineErrors
    {
        ClearLineErrors,
        KeepLineErrors
    };

    enum PortAtBox
    {
        PortClosedAtBox, // the read: closed, then the box
        PortOpenAtBox    // the write: the box, then closed
    };

    enum LinkAfterFailure
    {
        CloseLink,
        KeepLink
    };

    enum LabelReset
    {
        ResetUnderModbus, // when the record's protocol is Modbus now
        ResetAlways
    };

    // The busy cursor for the guard's life.
    struct BusyCursor
    {
        explicit BusyCursor(CMasterDlg& dlg) : m_dlg(dlg) { m_dlg.setBusyCursor(true); }

        ~BusyCursor() { m_dlg.setBusyCursor(false); }

        BusyCursor(const BusyCursor&) = delete;
        BusyCursor& operator=(const BusyCursor&) = delete;

        CMasterDlg& m_dlg;
    };

    bool beginRead(ConsoleSettings& s);
    void endRead();
    bool timeoutRefused(const ConsoleSettings& s);
    bool addressMissing(const ConsoleSettings& s);
    ReadRequest readRequestFor(const ConsoleSettings& s);
    void showReadReply(std::span<const std::uint8_t> pdu, const ReadRequest& request);
    void clearUnusedValues(int registerCount);
    void resetModbusLabels(LabelReset when);
    std::unique_ptr<SerialPort> openSerialPort(const ConsoleSettings& s, PortAtBox order);
    IoResult sendSerial(SerialPort& port,
                        const ConsoleSettings& s,
                        TimeStamp start,
                        std::span<const std::uint8_t> frame);
    void takeEcho(SerialPort& port,
                  const ConsoleSettings& s,
                  std::span<std::uint8_t> rx,
                  std::size_t length);
    IoResult receiveSerial(SerialPort& port,
                           const ConsoleSettings& s,
                           std::span<std::uint8_t> rx,
                           std::size_t expected);
    void serialFailure(SerialPort& port, const Fault& fault, LineErrors errors, PortAtBox order);
    void endSerialSuccess(SerialPort& port, TimeStamp start);
    bool sendTcpFrame(const ConsoleSettings& s,
                      TimeStamp start,
                      std::span<const std::uint8_t> frame,
                      Fault& failure);
    void timedReadFailure(SerialPort& port, TimeStamp start, const Fault& fault, LineErrors errors);
    void judgeSerialReply(SerialPort& port,
                          const ReadRequest& request,
                          SerialFraming framing,
                          TimeStamp start,
                          std::span<std::uint8_t> rx,
                          std::size_t expected);
    void judgeTcpReply(const ConsoleSettings& s,
                       const ReadRequest& request,
                       std::uint16_t idSent,
                       std::span<const std::uint8_t> reply);
    void tcpWriteFailure(const ConsoleSettings& s, const Fault& fault, LinkAfterFailure link);
    bool judgeTcpEcho(const ConsoleSettings& s,
                      const WriteRequest& request,
                      TimeStamp start,
                      std::uint16_t idSent);
    static SerialFraming framingFor(const ConsoleSettings& s);
    bool judgeSerialEcho(SerialPort& port,
                         const WriteRequest& request,
                         SerialFraming framing,
                         TimeStamp start,
                         std::span<std::uint8_t> rx,
                         std::size_t count);
    void workerBody();
    void startCommand(int command);
    void enableDataTypeControls();
    // Off while a schedule runs, on again at Stop; the link settings of the link in use only.
    void enableRunChoices(bool enabled);
    void enableLinkSettings(bool enabled);
    bool appendLog(const std::string& line);

    ConsoleView& m_view;
    Platform& m_platform;
    std::uint16_t m_tcpPort;

    ConsoleSettings m_settings;
    TransactionStats m_stats;
    ValueTexts m_registerLabels = initialLabels();
    bool m_labelsJbusForm = false;

    // Link state and counters: owned by the holder of m_busy.
    SocketHandle m_socket = kNoSocket;
    bool m_socketLibraryHeld = false;
    bool m_connected = false;
    std::string m_connectedAddress = kDefaultAddress;
    std::uint8_t m_scatterTransactionNo = 1;
    std::uint16_t m_mbapTransactionNo = 1;

    // Scheduler, window's thread only, except m_busy.
    int m_timerId = 0;
    std::atomic<bool> m_busy{false};
    bool m_workerStarted = false;
    bool m_closing = false; // Exit or the window's end has begun: no transaction starts
    int m_deferredCommand = 0;
    bool m_logFailureShown = false;

    const PortProbe* m_portProbe = nullptr;
    FrameTrace m_trace;               // its record is the m_busy holder's
    bool m_traceFailureShown = false; // window's thread

    RunRecord m_run;                                     // window's thread
    mutable std::vector<std::uint32_t> m_summaryScratch; // window's thread
    bool m_runEntryOpen = false; // the m_busy holder's: its transaction has its entry
};

} // namespace quarin
