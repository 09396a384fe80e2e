#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quarin {

// The console's controls, in the order of the transfers; the rest follow.
enum class ControlId
{
    Port,
    Baud,
    DataType,
    SlaveId,
    StartRegister,
    RegisterCount,
    RegisterLabel, // row 0..9
    Protocol,      // radio group; setEnabled takes the button as row 0..2
    Parity,
    Address,
    TransactionTime,
    Wiring,
    Timeout,
    SampleRate,
    ErrorCount,
    TransactionCount,
    SampleMode,
    DisplayMode, // radio group
    Value,       // row 0..9
    MinTime,
    MaxTime,
    StopButton,
    ReadButton,
    WriteButton,
    ExitButton,
};

enum class MessageIcon
{
    Error,
    Information
};

// What the console needs of its window. Toolkit-free so the console runs against a fake in tests.
class ConsoleView
{
public:
    virtual ~ConsoleView() = default;

    virtual std::string text(ControlId id, int row = 0) const = 0;
    // Leaves an edit alone when it already shows the text, so no change handler fires.
    virtual void setText(ControlId id, std::string_view text, int row = 0) = 0;
    // Combo box entry or checked radio button; -1 for none.
    virtual int index(ControlId id) const = 0;
    virtual void setIndex(ControlId id, int index) = 0;
    virtual void setEnabled(ControlId id, bool enabled, int row = 0) = 0;
    virtual bool isEnabled(ControlId id, int row = 0) const = 0;
    virtual void setFocus(ControlId id, int row = 0) = 0;
    // Modal: returns when the operator has closed it, or at once while halting.
    virtual void messageBox(std::string_view text, MessageIcon icon) = 0;
    // The same box, with a detailed text the operator can unfold; the text itself is unchanged.
    virtual void
    messageBoxWithDetail(std::string_view text, MessageIcon icon, std::string_view detail) = 0;
    // A message box that does not hold up its caller: the operator closes it at leisure.
    virtual void showNotice(std::string_view text) = 0;
    // The same, with the information icon.
    virtual void showInformation(std::string_view text) = 0;
    virtual void setBusyCursor(bool busy) = 0;
    // Starting a running timer again replaces it.
    virtual void startTimer(int id, int periodMs) = 0;
    virtual void killTimer(int id) = 0;
    // Runs fn on the window's thread and waits for it (directly when already there). Returns
    // false, without running fn, once the console halts: a halted worker changes nothing.
    virtual bool runOnWindowThread(const std::function<void()>& fn) = 0;
    virtual bool onWindowThread() const = 0;
    // Closes the console window; the application then ends.
    virtual void closeWindow() = 0;
    // From now on runOnWindowThread returns false at once, also for a call already waiting, and
    // any message box opened for a worker is closed.
    virtual void halt() = 0;
    // Keeps the window responsive while waiting, at most timeoutMs, for done() to hold. Inside a
    // call made for a worker it returns at once: that worker cannot go on before the call ends.
    virtual bool waitWhileProcessingEvents(const std::function<bool()>& done, int timeoutMs) = 0;
};

} // namespace quarin
