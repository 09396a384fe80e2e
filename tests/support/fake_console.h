#pragma once

// A console on fakes whose window has opened, driven the way the operator drives it. Shared by
// the unit tests, the benchmarks and the fuzz targets, so it leans on no test framework.

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "console/master_dlg.h"
#include "support/fake_platform.h"
#include "support/fake_view.h"

namespace quarin::test {

inline constexpr char kLogFile[] = "Quarin.log";
inline constexpr char kStamp[] = "12/06/26 08:04:00 - "; // the fake clock's local time

// Where the console's workers run: kept until the test runs them (runNext), or on threads of
// their own as in the program.
enum class Workers
{
    Kept,
    Threads
};

struct FakeConsole
{
    // ini: Quarin.ini as the window finds it, none by default; clock: the FakeClock unless given.
    explicit FakeConsole(std::optional<std::string> ini = std::nullopt,
                         Workers workers = Workers::Kept,
                         Clock* clock = nullptr)
        : platform{fp.serial,
                   fp.sockets,
                   clock != nullptr ? *clock : fp.clock,
                   workers == Workers::Threads ? static_cast<WorkerStarter&>(threadWorkers)
                                               : fp.workers,
                   fp.files,
                   fp.programs,
                   fp.halt}
    {
        if (ini) {
            fp.files.files["Quarin.ini"] = *ini;
        }
        compatible = dlg.onInitDialog();
    }

    FakeConsole(const FakeConsole&) = delete;
    FakeConsole& operator=(const FakeConsole&) = delete;

    FakePlatform fp;
    DetachedWorkers threadWorkers;
    Platform platform;
    FakeView view;
    CMasterDlg dlg{view, platform, 502};
    bool compatible = false;

    void choosePort(int port)
    {
        view.setIndex(ControlId::Port, port);
        dlg.applyPortRules();
    }

    void useSerial(int port = 1) { choosePort(port); }

    void useTcp(const std::string& address)
    {
        choosePort(0);
        view.type(ControlId::Address, address);
    }

    void dataType(DataType type)
    {
        view.setIndex(ControlId::DataType, type);
        dlg.applyDataTypeRules();
    }

    void type(ControlId id, const std::string& text, int row = 0) { view.type(id, text, row); }

    void select(ControlId id, int index) { view.setIndex(id, index); }

    // The value rows from the first, as the operator types them.
    void values(const std::vector<std::string>& texts)
    {
        for (std::size_t row = 0; row < texts.size(); ++row) {
            type(ControlId::Value, texts[row], static_cast<int>(row));
        }
    }

    // What the serial port hands back, one entry per read call.
    void reads(std::vector<Bytes> replies) { fp.serial.script.reads = std::move(replies); }

    // The slave's answer to the next request not yet answered.
    void replyWith(std::vector<SocketStep> steps)
    {
        fp.sockets.replies.push_back(std::move(steps));
    }

    void replyWith(std::string_view hex) { replyWith({{SocketStep::Data, hexBytes(hex), 0}}); }

    // One read as the Read button makes it in the Manual mode.
    void read() { dlg.onRead(); }

    void write() { dlg.onWrite(); }

    // Read in a scheduled mode: the timer starts, no transaction yet.
    void startSchedule(SampleMode mode)
    {
        select(ControlId::SampleMode, mode);
        dlg.onRead();
    }

    // One timer tick and the worker it started, run to its end.
    void tick()
    {
        dlg.onTimer(CMasterDlg::kScheduleTimer);
        while (fp.workers.runNext()) {
        }
    }

    // One tick whose worker is a thread of its own while the window's thread keeps handling the
    // calls it makes; false when the worker did not end within a generous bound.
    bool tickOnAWorkerThread()
    {
        dlg.onTimer(CMasterDlg::kScheduleTimer);
        std::atomic<bool> done{false};
        std::thread worker([&] {
            fp.workers.runNext();
            done = true;
        });
        const bool finished = view.waitWhileProcessingEvents([&] { return done.load(); }, 20000);
        worker.join();
        return finished;
    }

    // One read of a run in the logging mode: Read, the first tick, the worker.
    void readLogged()
    {
        startSchedule(ScheduledWithLogging);
        dlg.onTimer(CMasterDlg::kScheduleTimer);
        fp.workers.runNext();
    }

    std::string log() const { return file(kLogFile); }

    // The settings file as Exit leaves it.
    std::string savedIni()
    {
        dlg.onExit();
        return file("Quarin.ini");
    }

    std::string file(const std::string& name) const
    {
        const auto it = fp.files.files.find(name);
        return it == fp.files.files.end() ? std::string() : it->second;
    }

    std::vector<std::string> shownValues() const { return shown(ControlId::Value); }

    std::vector<std::string> shownLabels() const { return shown(ControlId::RegisterLabel); }

    std::vector<std::string> recordValues() const
    {
        const ValueTexts& values = dlg.settings().m_values;
        return {values.begin(), values.end()};
    }

    std::vector<std::string> recordLabels() const
    {
        const ValueTexts& labels = dlg.registerLabels();
        return {labels.begin(), labels.end()};
    }

    // The report line as the reporter writes it for the current settings.
    std::string reportLine(const std::string& text) const
    {
        std::string line = kStamp;
        if (!dlg.settings().serial()) {
            line += "Slave IP = " + dlg.settings().m_address + " - ";
        }
        return line + "Slave ID = " + std::to_string(dlg.settings().m_slaveId) + " - " + text;
    }

private:
    std::vector<std::string> shown(ControlId id) const
    {
        std::vector<std::string> texts;
        for (int row = 0; row < kValueRows; ++row) {
            texts.push_back(view.text(id, row));
        }
        return texts;
    }
};

} // namespace quarin::test
