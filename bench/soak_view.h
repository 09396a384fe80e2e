#pragma once

// A window without a toolkit for long runs: controls as a dialog keeps them, boxes counted rather
// than kept, and calls from the worker handed over the moment they are queued, so that a run of a
// hundred thousand transactions costs the exchanges and not the polling of a queue.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "console/console_view.h"

namespace quarin::bench {

class SoakView : public ConsoleView
{
public:
    SoakView() : m_windowThread(std::this_thread::get_id()) {}

    std::string text(ControlId id, int row = 0) const override
    {
        const auto found = m_controls.find({id, row});
        return found != m_controls.end() ? found->second.text : std::string();
    }

    void setText(ControlId id, std::string_view text, int row = 0) override
    {
        Control& c = m_controls[{id, row}];
        if (c.text != text) {
            c.text = text;
        }
    }

    int index(ControlId id) const override
    {
        const auto found = m_controls.find({id, 0});
        return found != m_controls.end() ? found->second.index : 0;
    }

    void setIndex(ControlId id, int index) override { m_controls[{id, 0}].index = index; }

    void setEnabled(ControlId id, bool enabled, int row = 0) override
    {
        m_controls[{id, row}].enabled = enabled;
    }

    bool isEnabled(ControlId id, int row = 0) const override
    {
        const auto found = m_controls.find({id, row});
        return found == m_controls.end() || found->second.enabled;
    }

    void setFocus(ControlId /*id*/, int /*row*/) override {}

    void messageBox(std::string_view text, MessageIcon /*icon*/) override
    {
        ++m_boxes;
        m_lastBox = text;
    }

    void messageBoxWithDetail(std::string_view text,
                              MessageIcon icon,
                              std::string_view /*detail*/) override
    {
        messageBox(text, icon);
    }

    void showNotice(std::string_view text) override
    {
        ++m_notices;
        m_lastNotice = text;
    }

    void showInformation(std::string_view text) override { showNotice(text); }

    void setBusyCursor(bool /*busy*/) override {}

    void startTimer(int /*id*/, int /*periodMs*/) override {}

    void killTimer(int /*id*/) override {}

    bool runOnWindowThread(const std::function<void()>& fn) override
    {
        if (onWindowThread()) {
            fn();
            return true;
        }
        auto call = std::make_shared<Call>();
        call->fn = &fn;
        std::unique_lock lock(m_mutex);
        if (m_halted) {
            return false;
        }
        m_queue.push_back(call);
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return call->done || (m_halted && !call->running); });
        if (!call->done) {
            call->fn = nullptr;
            return false;
        }
        return true;
    }

    bool onWindowThread() const override { return std::this_thread::get_id() == m_windowThread; }

    void closeWindow() override {}

    void halt() override
    {
        std::lock_guard lock(m_mutex);
        m_halted = true;
        m_changed.notify_all();
    }

    bool waitWhileProcessingEvents(const std::function<bool()>& done, int timeoutMs) override
    {
        // The worker a running call was made for waits for that call to end.
        if (m_callsRunning > 0) {
            return done();
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            runQueued();
            if (done()) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            // The worker's last step (its thread returning) sends nothing: look again soon.
            std::unique_lock lock(m_mutex);
            m_changed.wait_for(
                lock, std::chrono::microseconds(100), [this] { return !m_queue.empty(); });
        }
    }

    long boxes() const { return m_boxes; }

    long notices() const { return m_notices; }

    const std::string& lastBox() const { return m_lastBox; }

    const std::string& lastNotice() const { return m_lastNotice; }

private:
    struct Control
    {
        std::string text;
        int index = 0;
        bool enabled = true;
    };

    struct Call
    {
        const std::function<void()>* fn = nullptr; // the caller's, which waits for it
        bool running = false;
        bool done = false;
    };

    void runQueued()
    {
        for (;;) {
            std::shared_ptr<Call> call;
            {
                std::lock_guard lock(m_mutex);
                if (m_queue.empty()) {
                    return;
                }
                call = std::move(m_queue.front());
                m_queue.pop_front();
                if (m_halted || call->fn == nullptr) {
                    continue;
                }
                call->running = true;
            }
            ++m_callsRunning;
            (*call->fn)();
            --m_callsRunning;
            std::lock_guard lock(m_mutex);
            call->running = false;
            call->done = true;
            m_changed.notify_all();
        }
    }

    std::map<std::pair<ControlId, int>, Control> m_controls;
    int m_callsRunning = 0; // window's thread
    long m_boxes = 0;
    long m_notices = 0;
    std::string m_lastBox;
    std::string m_lastNotice;

    std::thread::id m_windowThread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::shared_ptr<Call>> m_queue;
    bool m_halted = false;
};

} // namespace quarin::bench
