#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console/console_view.h"

namespace quarin::test {

struct ShownBox
{
    std::string text;
    MessageIcon icon;
    std::string detail; // the detailed text, empty for none
};

// A window without a toolkit. Controls keep text, index and enabled state as a dialog would; the
// thread that made the view is the window's thread, and calls from other threads wait in a queue
// until that thread runs processEvents(), as the real window does.
class FakeView : public ConsoleView
{
public:
    FakeView();

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

    // Runs the calls other threads have queued; returns how many ran.
    int processEvents();

    // Waits, running nothing, until a call from another thread waits for this one.
    bool waitForCaller(int timeoutMs);

    // What the operator would type or pick (no handler runs, as with a programmatic change).
    void type(ControlId id, std::string_view text, int row = 0) { setText(id, text, row); }

    std::vector<ShownBox> boxes() const;
    std::vector<std::string> boxTexts() const;
    std::vector<std::string> notices() const;

    std::vector<std::string> informations() const { return m_informations; }

    void clearBoxes();

    // Called on the window's thread for every box, as if the operator read it.
    void onBox(std::function<void(const ShownBox&)> hook) { m_onBox = std::move(hook); }

    int setTextChanges(ControlId id, int row = 0) const;

    ControlId focus() const { return m_focus; }

    int busyDepth() const { return m_busyDepth; }

    int maxBusyDepth() const { return m_maxBusyDepth; }

    // Period of a running timer, or 0.
    int timerPeriod(int id) const;

    bool closed() const { return m_closed; }

    bool halted() const;

private:
    struct Control
    {
        std::string text;
        int index = 0;
        bool enabled = true;
        int changes = 0;
    };

    struct Call
    {
        const std::function<void()>* fn = nullptr; // the caller's; null once it gave up
        bool running = false;
        bool done = false;
    };

    Control& control(ControlId id, int row);
    const Control* find(ControlId id, int row) const;

    std::map<std::pair<ControlId, int>, Control> m_controls;
    std::vector<ShownBox> m_boxes;
    std::vector<std::string> m_notices;
    std::vector<std::string> m_informations;
    std::function<void(const ShownBox&)> m_onBox;
    ControlId m_focus = ControlId::Port;
    int m_busyDepth = 0;
    int m_maxBusyDepth = 0;
    int m_callsRunning = 0;
    std::map<int, int> m_timers;
    bool m_closed = false;

    std::thread::id m_windowThread;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::shared_ptr<Call>> m_queue;
    bool m_halted = false;
};

} // namespace quarin::test
