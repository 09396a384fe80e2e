#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/posix/programs.h"
#include "posix_test_support.h"

namespace quarin::posix {
namespace {

using test::Clock;

// The file a started program writes through a temporary name, once it is complete.
std::optional<std::string> awaitFile(const std::string& path)
{
    auto end = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < end) {
        if (std::filesystem::exists(path)) {
            std::ifstream in(path);
            std::ostringstream text;
            text << in.rdbuf();
            return text.str();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

// Runs a shell script that writes its output to <dir>/<name> (a test may use a shell; the
// starter never does).
std::vector<std::string> script(const std::string& commands, const std::string& dir)
{
    return {
        "/bin/sh", "-c", commands + " > \"$1/out.tmp\" && mv \"$1/out.tmp\" \"$1/out\"", "sh", dir};
}

TEST(ProgramStarter, AStartedProgramGetsOnlyTheStandardDescriptors)
{
    test::TempDir dir{test::Cwd::Stay};
    // An inheritable descriptor, as a careless library might leave one.
    int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    ASSERT_EQ(::dup2(leaked, 50), 50);
    ::close(leaked);

    PosixProgramStarter programs;
    EXPECT_TRUE(programs.start(script("ls /proc/self/fd", dir.path()), true));
    auto listing = awaitFile(dir / "out");
    ::close(50);
    ASSERT_TRUE(listing);

    std::istringstream lines(*listing);
    std::vector<int> fds;
    for (int fd = 0; lines >> fd;) {
        fds.push_back(fd);
    }
    // ls shows 0, 1 and 2, and 3, its own handle on the listed folder.
    EXPECT_EQ(fds, (std::vector<int>{0, 1, 2, 3})) << *listing;
}

TEST(ProgramStarter, AHiddenProgramTalksToDevNull)
{
    test::TempDir dir{test::Cwd::Stay};
    PosixProgramStarter programs;
    EXPECT_TRUE(programs.start(script("readlink /proc/$$/fd/0 /proc/$$/fd/2", dir.path()), true));
    EXPECT_EQ(awaitFile(dir / "out"), "/dev/null\n/dev/null\n");
}

TEST(ProgramStarter, AFinishedProgramLeavesNoZombie)
{
    test::TempDir dir{test::Cwd::Stay};
    PosixProgramStarter programs;
    ASSERT_TRUE(programs.start(script("echo $$", dir.path()), true));
    auto text = awaitFile(dir / "out");
    ASSERT_TRUE(text);
    pid_t pid = std::stoi(*text);
    ASSERT_GT(pid, 0);

    // A zombie still answers kill(pid, 0); a reaped child is gone.
    auto end = Clock::now() + std::chrono::seconds(5);
    while (::kill(pid, 0) == 0 && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(ProgramStarter, ArgumentsArriveAsTheyAreWithoutAShell)
{
    test::TempDir dir{test::Cwd::Stay};
    PosixProgramStarter programs;
    const std::string name = "a b;$(touch oops)*";
    ASSERT_TRUE(programs.start({"touch", dir / name}, true));
    auto end = Clock::now() + std::chrono::seconds(5);
    while (!std::filesystem::exists(dir / name) && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{name});
}

TEST(ProgramStarter, AProgramThatCannotStartIsRefused)
{
    PosixProgramStarter programs;
    EXPECT_FALSE(programs.start({}, true));
    EXPECT_FALSE(programs.start({""}, true));
    EXPECT_FALSE(programs.start({"quarin-test-no-such-program", "x"}, true));
    EXPECT_FALSE(programs.start({"/nonexistent/arp", "-d", "127.0.0.1"}, true));
}

TEST(ProgramStarter, ExistsMeansExecutable)
{
    test::TempDir dir{test::Cwd::Stay};
    std::ofstream(dir / "plain") << "text";
    ASSERT_EQ(::chmod((dir / "plain").c_str(), 0644), 0);
    PosixProgramStarter programs;
    EXPECT_TRUE(programs.exists("/bin/sh"));
    EXPECT_FALSE(programs.exists(dir / "plain"));
    EXPECT_FALSE(programs.exists(dir / "missing"));
}

} // namespace
} // namespace quarin::posix
