#pragma once

#include <array>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>

#include "console/console_settings.h"
#include "console/console_view.h"

class QAbstractButton;
class QButtonGroup;
class QLineEdit;
class QMouseEvent;
class QTimer;

namespace Ui {
class ConsoleDialog;
} // namespace Ui

namespace quarin {
class CMasterDlg;
class RunRecord;
} // namespace quarin

namespace quarin::qt {

class TimingWindow;

// The console window. It holds no texts beyond the lists and no rules: every event goes to the
// console's handler, and the console draws through the ConsoleView side.
class ConsoleDialog : public QDialog, public ConsoleView
{
    Q_OBJECT

public:
    explicit ConsoleDialog(QWidget* parent = nullptr);
    ~ConsoleDialog() override;
    ConsoleDialog(const ConsoleDialog&) = delete;
    ConsoleDialog& operator=(const ConsoleDialog&) = delete;

    // Routes the window's events to the console's handlers; once, before the window opens. The
    // console must outlive the window's end (finish()).
    void attach(CMasterDlg* console);
    // The console's clean-up, run once however the window ends: done() runs it, and whoever
    // gives up on a window that never opened calls it.
    void finish();
    void showAbout();

    // The widget that shows a control: row picks the register label or value; the radio groups
    // give their group box.
    QWidget* widget(ControlId id, int row = 0) const;
    // Button row of the "Protocol" or "Display Mode" group; nullptr outside it.
    QAbstractButton* radioButton(ControlId group, int row) const;
    // Labels of the items in the window's lists (a port's device, say).
    void setItemToolTip(ControlId id, int index, std::string_view text);
    // Where the tooltips of the "Port:" list and of the register labels come from. They are built
    // as the operator hovers, so they tell how things stand at that moment; empty: none.
    void setToolTipSources(std::function<std::string(int port)> port,
                           std::function<std::string(int row)> label);
    // Another tooltip made on hover, shown as plain text; empty: none.
    void addToolTipSource(QWidget* widget, std::function<std::string()> source);
    // Opens the timing window over run, or raises it; it is made on first use.
    void showTimingWindow(const RunRecord& run);

    TimingWindow* timingWindow() const { return m_timingWindow; }

    // ConsoleView.
    std::string text(ControlId id, int row = 0) const override;
    void setText(ControlId id, std::string_view text, int row = 0) override;
    int index(ControlId id) const override;
    void setIndex(ControlId id, int index) override;
    void setEnabled(ControlId id, bool enabled, int row = 0) override;
    bool isEnabled(ControlId id, int row = 0) const override;
    void setFocus(ControlId id, int row = 0) override;
    void messageBox(std::string_view text, MessageIcon icon) override;
    void
    messageBoxWithDetail(std::string_view text, MessageIcon icon, std::string_view detail) override;
    void showNotice(std::string_view text) override;
    void showInformation(std::string_view text) override;
    void setBusyCursor(bool busy) override;
    void startTimer(int id, int periodMs) override;
    void killTimer(int id) override;
    bool runOnWindowThread(const std::function<void()>& fn) override;
    bool onWindowThread() const override;
    void closeWindow() override;
    void halt() override;
    bool waitWhileProcessingEvents(const std::function<bool()>& done, int timeoutMs) override;

    void done(int result) override;

protected:
    bool event(QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class CallState
    {
        Pending,
        Running,
        Done,
        Cancelled
    };

    struct PendingCall
    {
        CallState state = CallState::Pending; // guarded by m_callMutex
    };

    QButtonGroup* buttonGroup(ControlId id) const;
    void fillLists();
    bool halted() const;
    void closeOpenBoxes();
    void notice(std::string_view text, QMessageBox::Icon icon);
    // For a caller off the window's thread: the widget work moves there.
    template <typename Result, typename Work> Result onWindow(Result fallback, Work work) const;

    std::unique_ptr<Ui::ConsoleDialog> m_ui;
    std::array<QLineEdit*, kValueRows> m_labelEdits{};
    std::array<QLineEdit*, kValueRows> m_valueEdits{};
    QButtonGroup* m_protocolButtons = nullptr;
    QButtonGroup* m_displayButtons = nullptr;

    std::function<void(int)> m_timerHandler;
    std::function<void()> m_viewLogHandler;
    std::function<void()> m_destroyHandler;
    std::function<std::string(int)> m_portToolTip;
    std::function<std::string(int)> m_labelToolTip;
    std::vector<std::pair<QWidget*, std::function<std::string()>>> m_toolTipSources;
    TimingWindow* m_timingWindow = nullptr;
    bool m_finished = false;

    std::map<int, QTimer*> m_timers;
    // The window paints at most once a frame: the paint that comes sooner waits for it.
    QTimer* m_paintTimer = nullptr;
    QElapsedTimer m_sincePaint;
    std::vector<QMessageBox*> m_openBoxes;
    int m_busyCursorDepth = 0;
    int m_callsRunning = 0; // workers' calls running now, nested in one another's event loops

    mutable std::mutex m_callMutex;
    std::condition_variable m_callChanged;
    bool m_halted = false; // guarded by m_callMutex
};

} // namespace quarin::qt
