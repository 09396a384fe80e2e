#include "support/fake_view.h"

#include <algorithm>
#include <chrono>

namespace quarin::test {

namespace {

// Entries of each list or radio group; an index outside shows none and reads back -1.
int entries(ControlId id)
{
    switch (id) {
    case ControlId::Port:
        return 17;
    case ControlId::Baud:
        return 6;
    case ControlId::DataType:
        return 5;
    case ControlId::Protocol:
    case ControlId::SampleMode:
        return 3;
    case ControlId::Parity:
    case ControlId::Wiring:
    case ControlId::DisplayMode:
        return 2;
    default:
        return 0;
    }
}

} // namespace

FakeView::FakeView() : m_windowThread(std::this_thread::get_id())
{
    // As the window opens: the controls marked off in the dialog start disabled.
    for (ControlId id :
         {ControlId::Baud, ControlId::Parity, ControlId::Wiring, ControlId::StopButton}) {
        control(id, 0).enabled = false;
    }
    control(ControlId::Protocol, 1).enabled = false;
    control(ControlId::Protocol, 2).enabled = false;
}

FakeView::Control& FakeView::control(ControlId id, int row)
{
    return m_controls[{id, row}];
}

const FakeView::Control* FakeView::find(ControlId id, int row) const
{
    const auto it = m_controls.find({id, row});
    return it == m_controls.end() ? nullptr : &it->second;
}

std::string FakeView::text(ControlId id, int row) const
{
    const Control* c = find(id, row);
    return c != nullptr ? c->text : std::string();
}

void FakeView::setText(ControlId id, std::string_view text, int row)
{
    Control& c = control(id, row);
    if (c.text != text) {
        c.text = std::string(text);
        ++c.changes;
    }
}

int FakeView::index(ControlId id) const
{
    const Control* c = find(id, 0);
    return c != nullptr ? c->index : 0;
}

void FakeView::setIndex(ControlId id, int index)
{
    control(id, 0).index = index >= 0 && index < entries(id) ? index : -1;
}

void FakeView::setEnabled(ControlId id, bool enabled, int row)
{
    control(id, row).enabled = enabled;
}

bool FakeView::isEnabled(ControlId id, int row) const
{
    const Control* c = find(id, row);
    return c == nullptr || c->enabled;
}

void FakeView::setFocus(ControlId id, int /*row*/)
{
    m_focus = id;
}

void FakeView::messageBox(std::string_view text, MessageIcon icon)
{
    messageBoxWithDetail(text, icon, {});
}

void FakeView::messageBoxWithDetail(std::string_view text,
                                    MessageIcon icon,
                                    std::string_view detail)
{
    m_boxes.push_back({std::string(text), icon, std::string(detail)});
    if (m_onBox) {
        m_onBox(m_boxes.back());
    }
}

void FakeView::showNotice(std::string_view text)
{
    m_notices.emplace_back(text);
}

void FakeView::showInformation(std::string_view text)
{
    m_informations.emplace_back(text);
}

void FakeView::setBusyCursor(bool busy)
{
    m_busyDepth += busy ? 1 : -1;
    m_maxBusyDepth = std::max(m_maxBusyDepth, m_busyDepth);
}

void FakeView::startTimer(int id, int periodMs)
{
    m_timers[id] = std::max(1, periodMs);
}

void FakeView::killTimer(int id)
{
    m_timers.erase(id);
}

int FakeView::timerPeriod(int id) const
{
    const auto it = m_timers.find(id);
    return it == m_timers.end() ? 0 : it->second;
}

bool FakeView::onWindowThread() const
{
    return std::this_thread::get_id() == m_windowThread;
}

bool FakeView::runOnWindowThread(const std::function<void()>& fn)
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
    // A call already running is waited for, halt or not: fn refers to the caller's frame.
    m_changed.wait(lock, [&] { return call->done || (m_halted && !call->running); });
    if (!call->done) {
        call->fn = nullptr;
        return false;
    }
    return true;
}

bool FakeView::waitForCaller(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(
        lock, std::chrono::milliseconds(timeoutMs), [&] { return !m_queue.empty(); });
}

int FakeView::processEvents()
{
    int ran = 0;
    while (true) {
        std::shared_ptr<Call> call;
        {
            std::lock_guard lock(m_mutex);
            if (m_queue.empty()) {
                return ran;
            }
            call = m_queue.front();
            m_queue.pop_front();
            if (call->fn == nullptr || m_halted) {
                continue;
            }
            call->running = true;
        }
        ++m_callsRunning;
        (*call->fn)();
        --m_callsRunning;
        ++ran;
        std::lock_guard lock(m_mutex);
        call->running = false;
        call->done = true;
        m_changed.notify_all();
    }
}

void FakeView::closeWindow()
{
    m_closed = true;
}

void FakeView::halt()
{
    std::lock_guard lock(m_mutex);
    m_halted = true;
    m_changed.notify_all();
}

bool FakeView::halted() const
{
    std::lock_guard lock(m_mutex);
    return m_halted;
}

bool FakeView::waitWhileProcessingEvents(const std::function<bool()>& done, int timeoutMs)
{
    if (m_callsRunning > 0) {
        return done(); // as the window: the worker waits for the call this wait is inside
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        if (processEvents() == 0) {
            // Woken by a queued call; what done() looks at may change unannounced: look again soon.
            std::unique_lock lock(m_mutex);
            m_changed.wait_for(
                lock, std::chrono::microseconds(100), [this] { return !m_queue.empty(); });
        }
    }
    return true;
}

std::vector<ShownBox> FakeView::boxes() const
{
    return m_boxes;
}

std::vector<std::string> FakeView::boxTexts() const
{
    std::vector<std::string> texts;
    for (const ShownBox& box : m_boxes) {
        texts.push_back(box.text);
    }
    return texts;
}

std::vector<std::string> FakeView::notices() const
{
    return m_notices;
}

void FakeView::clearBoxes()
{
    m_boxes.clear();
}

int FakeView::setTextChanges(ControlId id, int row) const
{
    const Control* c = find(id, row);
    return c != nullptr ? c->changes : 0;
}

} // namespace quarin::test
