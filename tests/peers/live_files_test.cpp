// The console's two files made hostile by a careless operator or a full disk: settings files that
// are empty, cut, overlong, binary or full of printf directives, loaded by a console on the real
// adapters and then used against a scripted slave; and a log that cannot be written, in a logging
// run against a failing slave.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/live_console.h"
#include "support/lock_dir.h"
#include "support/peer_rig.h"

namespace quarin::test {
namespace {

using namespace std::chrono_literals;

constexpr int kTimeoutMs = 1000;
// Loading and one transaction: the time-out once at most, and seconds of slack.
constexpr auto kRowLimit = std::chrono::milliseconds(kTimeoutMs) + 3s;

constexpr char kIncompatible[] = "Incompatible ini file detected.\nQuarin will close and delete "
                                 "Quarin.ini file.\nDefaults will be used next time.";

// A reply to any one-register read that answers for whichever unit id was asked.
constexpr char kGoodRead[] = R"({"reply": "tid 00 00 00 05 req[6] 03 02 00 2A"})";

// The contents of a regular file; nothing for anything else (a folder, a device, nothing).
std::string fileText(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return {};
    }
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> crlfLines(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

bool present(const std::string& path)
{
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() !=
           std::filesystem::file_type::not_found;
}

// Fourteen lines that read 127.0.0.1 over TCP/IP with a 1000 ms time-out; `change` edits them.
std::vector<std::string> tcpLines()
{
    return {"0", "5", "0", "1", "1", "1", "0", "0", "127.0.0.1", "0", "1000", "1", "0", "0"};
}

std::string joined(const std::vector<std::string>& lines, const std::string& end = "\r\n")
{
    std::string text;
    for (const std::string& line : lines) {
        text += line + end;
    }
    return text;
}

std::string withLine(std::size_t number, const std::string& text, std::string end = "\r\n")
{
    std::vector<std::string> lines = tcpLines();
    lines[number - 1] = text;
    return joined(lines, end);
}

// Bytes of every kind but CR and LF, NUL included.
std::string binaryLine(std::size_t length, unsigned seed)
{
    std::string line;
    for (std::size_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>((i * 73u + seed * 31u) & 0xFFu);
        if (byte == '\r' || byte == '\n' || (byte >= '0' && byte <= '9') || byte == '-' ||
            byte == '+' || byte == ' ' || byte == '\t') {
            byte = 0;
        }
        line += static_cast<char>(byte);
    }
    return line;
}

enum class Load
{
    Compatible,   // no box, the file as it was
    Incompatible, // the box, the file gone
};

enum class Then
{
    Nothing,
    ReadsTheSlave, // a Read shows the slave's 42
    Box,           // a Read shows `box` and sends nothing
    SavesAsIs,     // Exit writes the file back with line 9 byte for byte
};

struct IniRow
{
    std::string name;
    std::function<void()> make; // makes Quarin.ini in the working folder
    Load load;
    std::string timeoutShown; // the Timeout control after loading; empty: not looked at
    Then then;
    std::string box = {};
};

std::function<void()> ini(const std::string& contents)
{
    return [contents] { writeFile("Quarin.ini", contents); };
}

std::vector<IniRow> iniRows()
{
    const std::string countRange = "Number of registers must be in the range from 1 to 125";
    const std::string timeoutRange = "Timeout value must be in the range from 1000 to 60000";
    const std::string huge = "99999999999999999999";
    std::vector<std::string> hugeLines(14, huge);
    hugeLines[8] = "127.0.0.1";
    std::vector<std::string> hugeNegative(14, "-" + huge);
    hugeNegative[8] = "127.0.0.1";
    std::vector<std::string> binary;
    for (unsigned line = 0; line < 14; ++line) {
        binary.push_back(line == 8 ? "127.0.0.1" : binaryLine(12, line));
    }
    std::vector<std::string> thirteen = tcpLines();
    thirteen.pop_back();
    const std::string printfAddress = "%s%n%x%s%n%x%p%99999s";
    std::vector<std::string> printfLines = tcpLines();
    printfLines[0] = "1"; // a COM port: the address is kept, not resolved
    printfLines[8] = printfAddress;
    std::string unended = joined(tcpLines());
    unended.resize(unended.size() - 2);
    std::vector<std::string> longAddress = tcpLines();
    longAddress[0] = "1";
    longAddress[8] = std::string(5000, '1');

    return {
        {"the file as the console saves it",
         ini(joined(tcpLines())),
         Load::Compatible,
         "1000",
         Then::ReadsTheSlave},
        {"empty", ini(""), Load::Incompatible, "", Then::Nothing},
        {"one short line", ini("0"), Load::Incompatible, "", Then::Nothing},
        {"thirteen lines", ini(joined(thirteen)), Load::Incompatible, "", Then::Nothing},
        {"one binary blob without a line end",
         ini(binaryLine(3000, 7)),
         Load::Incompatible,
         "",
         Then::Nothing},
        {"the last line without its CR LF",
         ini(unended),
         Load::Compatible,
         "1000",
         Then::ReadsTheSlave},
        {"lines ended by LF alone",
         ini(joined(tcpLines(), "\n")),
         Load::Compatible,
         "1000",
         Then::ReadsTheSlave},
        {"a CR followed by another byte than LF",
         ini(withLine(8, "0", "\rX")),
         Load::Compatible,
         "1000",
         Then::ReadsTheSlave},
        {"lines beyond the fourteenth",
         ini(joined(tcpLines()) + "15\r\n" + binaryLine(500, 3)),
         Load::Compatible,
         "1000",
         Then::ReadsTheSlave},
        {"numbers followed by letters",
         ini(withLine(4, "  1xyz")),
         Load::Compatible,
         "1000",
         Then::ReadsTheSlave},
        // As the slave ID reads 0, the reply must answer for unit 0.
        {"printf directives in a number line",
         ini(withLine(4, "%n%s%x")),
         Load::Compatible,
         "1000",
         Then::ReadsTheSlave},
        {"printf directives in the address",
         ini(joined(printfLines)),
         Load::Compatible,
         "1000",
         Then::SavesAsIs},
        {"an address of 5000 characters",
         ini(joined(longAddress)),
         Load::Compatible,
         "1000",
         Then::SavesAsIs},
        {"a time-out too large for any integer",
         ini(withLine(11, huge)),
         Load::Compatible,
         "",
         Then::Box,
         timeoutRange},
        {"huge numbers on every number line",
         ini(joined(hugeLines)),
         Load::Compatible,
         "",
         Then::Box,
         countRange},
        {"huge negative numbers on every number line",
         ini(joined(hugeNegative)),
         Load::Compatible,
         "",
         Then::Box,
         countRange},
        {"binary bytes on every number line",
         ini(joined(binary)),
         Load::Compatible,
         "",
         Then::Box,
         timeoutRange},
        {"Quarin.ini a directory",
         [] { std::filesystem::create_directory("Quarin.ini"); },
         Load::Compatible,
         "20000",
         Then::Nothing},
        {"Quarin.ini a link to nothing",
         [] { std::filesystem::create_symlink("missing/Quarin.ini", "Quarin.ini"); },
         Load::Compatible,
         "20000",
         Then::Nothing},
        // Endless, without a line end: read up to a bound, one line, incompatible.
        {"Quarin.ini a link to /dev/zero",
         [] { std::filesystem::create_symlink("/dev/zero", "Quarin.ini"); },
         Load::Incompatible,
         "",
         Then::Nothing},
    };
}

TEST(FaultScenarios, SettingsFilesOfEveryShapeLoadAsTheConsoleDefines)
{
    TcpRig rig;
    ASSERT_TRUE(rig.start(scriptedSlave({"--tcp"}, std::vector<std::string>(20, kGoodRead))));

    for (const IniRow& row : iniRows()) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        ASSERT_TRUE(dir.ok()) << dir.error();
        row.make();
        const std::string before = fileText("Quarin.ini");
        const bool wasDirectory = std::filesystem::is_directory("Quarin.ini");

        const auto begun = SteadyClock::now();
        LiveConsole c(rig.port());
        if (row.load == Load::Incompatible) {
            const std::vector<ShownBox> boxes = c.view.boxes();
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].text, kIncompatible);
            EXPECT_EQ(boxes[0].icon, MessageIcon::Error);
            EXPECT_FALSE(present("Quarin.ini")) << "deleted";
            EXPECT_LT(SteadyClock::now() - begun, kRowLimit);
            continue;
        }
        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
        EXPECT_EQ(std::filesystem::is_directory("Quarin.ini"), wasDirectory);
        EXPECT_EQ(fileText("Quarin.ini"), before) << "loading leaves the file alone";
        if (!row.timeoutShown.empty()) {
            EXPECT_EQ(c.view.text(ControlId::Timeout), row.timeoutShown);
        }

        switch (row.then) {
        case Then::Nothing:
            break;
        case Then::ReadsTheSlave:
            c.dlg.onRead();
            EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
            EXPECT_EQ(c.shownValues()[0], "42");
            break;
        case Then::Box:
            c.dlg.onRead();
            EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>{row.box});
            EXPECT_FALSE(c.dlg.connected()) << "nothing was sent";
            break;
        case Then::SavesAsIs: {
            const std::vector<std::string> loaded = crlfLines(before);
            ASSERT_EQ(loaded.size(), 14u);
            EXPECT_EQ(c.view.text(ControlId::Address), loaded[8]);
            c.dlg.onExit();
            EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
            EXPECT_EQ(fileText("Quarin.ini"), before) << "what was loaded is saved unchanged";
            break;
        }
        }
        EXPECT_FALSE(c.dlg.busy());
        EXPECT_LT(SteadyClock::now() - begun, kRowLimit);
    }
    EXPECT_TRUE(rig.slave.stop());
}

// ---------------------------------------------------------------------------------------------
// A log that cannot be written

std::string logNotWritten(int error)
{
    return std::string("Quarin.log could not be written (") + std::strerror(error) +
           "). Failures are still counted on the console.";
}

// The process's file size limit lowered for as long as it lives, with SIGXFSZ set aside so that a
// write past it fails instead of ending the process; both put back afterwards.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_ok = getrlimit(RLIMIT_FSIZE, &m_saved) == 0;
        m_previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = bytes;
        m_ok = m_ok && setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }

    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_previous);
    }

    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool ok() const { return m_ok; }

private:
    rlimit m_saved{};
    void (*m_previous)(int) = SIG_DFL;
    bool m_ok = false;
};

struct LogRow
{
    std::string name;
    std::function<void()> make; // makes the obstacle in the working folder
    int error;                  // the errno the notice names
    bool sizeLimit = false;
};

std::vector<LogRow> logRows()
{
    return {
        {"Quarin.log a directory", [] { std::filesystem::create_directory("Quarin.log"); }, EISDIR},
        {"Quarin.log a link to a full disk",
         [] { std::filesystem::create_symlink("/dev/full", "Quarin.log"); },
         ENOSPC},
        {"Quarin.log a link into a missing folder",
         [] { std::filesystem::create_symlink("missing/Quarin.log", "Quarin.log"); },
         ENOENT},
        {"the file size limit reached", [] {}, EFBIG, true},
    };
}

// Three failed reads and the stop line, none of which reaches the log: one notice for the run,
// the counts right on the console, no box, the schedule stopped by Stop alone, the link kept.
TEST(FaultScenarios, LoggingRunWhoseLogCannotBeWrittenCountsOnAndSaysSoOnce)
{
    constexpr std::uint32_t kRunTransactions = 3;
    for (const LogRow& row : logRows()) {
        SCOPED_TRACE(row.name);
        TcpRig rig;
        ASSERT_TRUE(rig.dir.ok()) << rig.dir.error();
        row.make();
        const std::string wrongFunction = R"({"reply": "tid 00 00 00 05 01 04 02 00 2A"})";
        ASSERT_TRUE(
            rig.start(scriptedSlave({"--tcp"}, {wrongFunction, wrongFunction, wrongFunction})));

        std::optional<FileSizeLimit> limit;
        if (row.sizeLimit) {
            limit.emplace(0);
            ASSERT_TRUE(limit->ok());
        }
        {
            LiveConsole c(rig.port(), kTimeoutMs);
            c.view.type(ControlId::SampleRate, "1");
            c.view.setIndex(ControlId::SampleMode, ScheduledWithLogging);
            const auto begun = SteadyClock::now();
            c.dlg.onRead();
            ASSERT_TRUE(c.dlg.scheduleRunning());
            ASSERT_TRUE(runSchedule(c, kRunTransactions, kRunTransactions * kRowLimit));
            EXPECT_TRUE(c.dlg.scheduleRunning()) << "a log that fails stops nothing";
            c.dlg.onStop();
            c.view.processEvents();
            EXPECT_LT(SteadyClock::now() - begun, kRunTransactions * kRowLimit);

            EXPECT_FALSE(c.dlg.scheduleRunning());
            EXPECT_EQ(c.view.text(ControlId::TransactionCount), "3");
            EXPECT_EQ(c.view.text(ControlId::ErrorCount), "3");
            EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>());
            EXPECT_EQ(c.view.notices(), std::vector<std::string>{logNotWritten(row.error)});
            EXPECT_TRUE(c.dlg.connected()) << "a wrong function code keeps the connection";
            EXPECT_FALSE(c.dlg.busy());
        }
        limit.reset();
        if (row.sizeLimit) {
            EXPECT_EQ(fileText("Quarin.log"), "") << "not a byte of a line";
        }
        EXPECT_TRUE(rig.slave.stop());
    }
}

// The wait status of a child that ends within ten seconds; one that hangs is killed: nothing.
std::optional<int> childStatus(pid_t child)
{
    int status = 0;
    pid_t ended = 0;
    for (const auto until = SteadyClock::now() + 10s;
         (ended = waitpid(child, &status, WNOHANG)) == 0 && SteadyClock::now() < until;) {
        std::this_thread::sleep_for(10ms);
    }
    if (ended != 0) {
        return status;
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return std::nullopt;
}

// An operator who made Quarin.ini read-only froze the settings: Exit says it could not save them
// and the file stays as it was. Root ignores file modes, so the console runs as nobody, in a child.
TEST(FaultScenarios, ExitLeavesAReadOnlySettingsFileAsItWasAndSaysSo)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok()) << dir.error();
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0) << "nobody may make a new file here";
    const std::string frozen = withLine(4, "7");
    writeFile("Quarin.ini", frozen);
    ASSERT_EQ(chmod("Quarin.ini", 0444), 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            _exit(90);
        }
        LiveConsole c;
        c.slaveId(9);
        c.dlg.onExit();
        const bool told = c.view.boxTexts() ==
                          std::vector<std::string>{"Quarin.ini could not be saved; the settings "
                                                   "of this run are not kept."};
        _exit(told && c.view.closed() ? 0 : 1);
    }
    const std::optional<int> ended = childStatus(child);
    ASSERT_TRUE(ended) << "the child hung";
    const int status = *ended;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(fileText("Quarin.ini"), frozen);
}

// A log line written past the file size limit (ulimit -f) fails the write; the signal the kernel
// sends with it must not end the program. In a child, as the limit and the signal are the
// process's.
TEST(FaultScenarios, LogLinePastTheFileSizeLimitDoesNotEndTheProgram)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok()) << dir.error();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_DFL); // as the program starts
        posix::PosixPlatform posix{testLockDir()};
        Platform platform = posix.platform();
        rlimit none{0, 0};
        if (setrlimit(RLIMIT_FSIZE, &none) != 0) {
            _exit(2);
        }
        const int error = platform.files.appendLocked("Quarin.log", "a line\r\n");
        _exit(error == EFBIG ? 0 : 1);
    }
    const std::optional<int> ended = childStatus(child);
    ASSERT_TRUE(ended) << "the child hung";
    const int status = *ended;
    EXPECT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
} // namespace quarin::test
