#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/file_system.h"
#include "posix_test_support.h"

namespace quarin::posix {
namespace {

using quarin::test::writeFile;
using test::Clock;

constexpr uid_t kNobody = 65534;

std::string contentsOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct stat statOf(const std::string& path)
{
    struct stat entry
    {
    };

    EXPECT_EQ(::lstat(path.c_str(), &entry), 0) << path;
    return entry;
}

std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class FileSystemTest : public testing::Test
{
protected:
    std::string path(const std::string& name) const { return m_dir / name; }

    test::TempDir m_dir{test::Cwd::Stay};
    PosixFileSystem m_files;
};

TEST_F(FileSystemTest, ReadAllReturnsEveryByteOfAFile)
{
    const std::string bytes("first\r\n\0\xFF last", 14);
    writeFile(path("a.ini"), bytes);
    EXPECT_EQ(m_files.readAll(path("a.ini")), bytes);
    EXPECT_EQ(m_files.readAll(path("missing.ini")), std::nullopt);
    EXPECT_EQ(m_files.readAll(m_dir.path()), std::nullopt);
}

TEST_F(FileSystemTest, ReadAllStopsAtItsLimit)
{
    writeFile(path("big"), std::string(PosixFileSystem::kReadLimit + 5000, 'x'));
    auto contents = m_files.readAll(path("big"));
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->size(), PosixFileSystem::kReadLimit);
}

TEST_F(FileSystemTest, ReplaceMakesANewFileWithTheUsualMode)
{
    struct Case
    {
        mode_t umask;
        mode_t mode;
    };

    const Case cases[] = {{022, 0644}, {027, 0640}, {077, 0600}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.umask);
        mode_t previous = ::umask(c.umask);
        std::string name = path("new" + std::to_string(c.umask));
        bool replaced = m_files.replace(name, "line 1\r\n");
        ::umask(previous);
        EXPECT_TRUE(replaced);
        EXPECT_EQ(contentsOf(name), "line 1\r\n");
        EXPECT_EQ(statOf(name).st_mode & 07777, c.mode);
    }
    EXPECT_EQ(namesIn(m_dir.path()), (std::vector<std::string>{"new18", "new23", "new63"}));
}

TEST_F(FileSystemTest, ReplaceKeepsTheModeAndSwapsTheWholeFile)
{
    for (mode_t mode : {0600u, 0640u, 0755u}) {
        SCOPED_TRACE(mode);
        std::string name = path("Quarin.ini");
        writeFile(name, "old contents that are longer than the new ones");
        ASSERT_EQ(::chmod(name.c_str(), mode), 0);
        ino_t before = statOf(name).st_ino;

        EXPECT_TRUE(m_files.replace(name, "new"));

        EXPECT_EQ(contentsOf(name), "new");
        EXPECT_EQ(statOf(name).st_mode & 07777, mode);
        // A new inode: the old file stayed whole until the rename.
        EXPECT_NE(statOf(name).st_ino, before);
        EXPECT_EQ(namesIn(m_dir.path()), std::vector<std::string>{"Quarin.ini"});
    }
}

TEST_F(FileSystemTest, ReplaceGoesThroughSymlinksToTheirTarget)
{
    std::filesystem::create_directory(path("real"));
    writeFile(path("real/target.ini"), "old");
    ASSERT_EQ(::symlink("real/target.ini", path("relative.ini").c_str()), 0);
    ASSERT_EQ(::symlink("relative.ini", path("chained.ini").c_str()), 0);
    ASSERT_EQ(::symlink(path("real/absent.ini").c_str(), path("dangling.ini").c_str()), 0);

    struct Case
    {
        const char* link;
        const char* target;
    };

    const Case cases[] = {
        {"relative.ini", "real/target.ini"},
        {"chained.ini", "real/target.ini"},
        {"dangling.ini", "real/absent.ini"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        std::string text = std::string("written through ") + c.link;
        EXPECT_TRUE(m_files.replace(path(c.link), text));
        EXPECT_TRUE(S_ISLNK(statOf(path(c.link)).st_mode));
        EXPECT_EQ(contentsOf(path(c.target)), text);
    }
    EXPECT_EQ(namesIn(path("real")), (std::vector<std::string>{"absent.ini", "target.ini"}));
    EXPECT_EQ(namesIn(m_dir.path()),
              (std::vector<std::string>{"chained.ini", "dangling.ini", "real", "relative.ini"}));
}

TEST_F(FileSystemTest, ReplaceWritesInPlaceWhereTheFolderTakesNoNewFile)
{
    // A folder that a user may not write into, holding a file that the user may write.
    ASSERT_EQ(::chmod(m_dir.path().c_str(), 0755), 0);
    std::string folder = path("locked");
    std::string name = folder + "/Quarin.ini";
    ASSERT_EQ(::mkdir(folder.c_str(), 0555), 0);
    writeFile(name, "old contents");
    ASSERT_EQ(::chmod(name.c_str(), 0666), 0);
    ino_t before = statOf(name).st_ino;

    int status = test::runInChild([&] {
        // Root writes anywhere: become nobody, whom the folder keeps out.
        if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            return 90;
        }
        return m_files.replace(name, "new") ? 0 : 1;
    });
    ::chmod(folder.c_str(), 0755);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(contentsOf(name), "new");
    EXPECT_EQ(statOf(name).st_ino, before);
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"Quarin.ini"});
}

// Only a folder that forbids a new file sends the save into the file itself. Any other failure to
// make the temporary (a full disk, an exhausted quota, here a name one character too long for
// the folder) fails the save and leaves the file whole.
TEST_F(FileSystemTest, ReplaceThatCannotMakeItsTemporaryLeavesTheFileAsItWas)
{
    const std::string longest(255, 'q');
    const std::string target = path(longest.substr(0, 250));
    writeFile(target, "old contents");
    ASSERT_EQ(::symlink(target.c_str(), path("Quarin.ini").c_str()), 0);

    EXPECT_FALSE(m_files.replace(path("Quarin.ini"), "new"));
    EXPECT_EQ(contentsOf(target), "old contents");
    EXPECT_EQ(namesIn(m_dir.path()).size(), 2u);
}

// An operator who made Quarin.ini read-only froze the settings: the save fails and the file stays.
// Root ignores file modes, so the save runs as nobody, in a folder nobody may write into.
TEST_F(FileSystemTest, ReplaceLeavesAFileTheUserMayNotWrite)
{
    ASSERT_EQ(::chmod(m_dir.path().c_str(), 0777), 0);
    const std::string name = path("Quarin.ini");
    writeFile(name, "frozen");
    ASSERT_EQ(::chmod(name.c_str(), 0444), 0);

    int status = test::runInChild([&] {
        if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            return 90;
        }
        return m_files.replace(name, "new") ? 1 : 0;
    });

    EXPECT_EQ(status, 0);
    EXPECT_EQ(contentsOf(name), "frozen");
    EXPECT_EQ(statOf(name).st_mode & 07777, 0444u);
    EXPECT_EQ(namesIn(m_dir.path()), std::vector<std::string>{"Quarin.ini"});
}

// Written in place, the file is not emptied before the new contents fit: a size limit (or a full
// disk) leaves the old contents whole instead of a short file.
TEST_F(FileSystemTest, ReplaceInPlaceThatCannotWriteEverythingLeavesTheOldFile)
{
    ASSERT_EQ(::chmod(m_dir.path().c_str(), 0755), 0);
    const std::string folder = path("locked");
    const std::string name = folder + "/Quarin.ini";
    ASSERT_EQ(::mkdir(folder.c_str(), 0555), 0);
    writeFile(name, "old contents");
    ASSERT_EQ(::chmod(name.c_str(), 0666), 0);

    int status = test::runInChild([&] {
        if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            return 90;
        }
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1000, 1000};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 91;
        }
        return m_files.replace(name, std::string(5000, 'n')) ? 1 : 0;
    });
    ::chmod(folder.c_str(), 0755);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(contentsOf(name), "old contents");
}

TEST_F(FileSystemTest, ReplaceFailsOnAFullDisk)
{
    ASSERT_EQ(::symlink("/dev/full", path("full.ini").c_str()), 0);
    EXPECT_FALSE(m_files.replace(path("full.ini"), "anything"));
}

TEST_F(FileSystemTest, ReplaceThatCannotWriteEverythingLeavesTheOldFileAndNoTemporary)
{
    std::string name = path("Quarin.ini");
    writeFile(name, "old");
    int status = test::runInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1000, 1000};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 90;
        }
        return m_files.replace(name, std::string(5000, 'n')) ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(contentsOf(name), "old");
    EXPECT_EQ(namesIn(m_dir.path()), std::vector<std::string>{"Quarin.ini"});
}

// A FIFO in a file's place, with nobody at its other end: every operation gives up at once
// instead of holding the window's thread. In a child, so a hang is a failure and not a stuck test.
TEST_F(FileSystemTest, FifoInAFilesPlaceNeverBlocks)
{
    const std::string fifo = path("Quarin.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const std::chrono::milliseconds limit = std::chrono::seconds(10);
    EXPECT_EQ(test::waitChild(test::startChild([&] {
                                  const auto read = m_files.readAll(fifo);
                                  return read && read->empty() ? 0 : 1;
                              }),
                              limit),
              0)
        << "readAll";
    EXPECT_EQ(test::waitChild(test::startChild([&] { return m_files.appendLocked(fifo, "x\r\n"); }),
                              limit),
              ENXIO)
        << "appendLocked";
}

TEST_F(FileSystemTest, RemoveDeletesAFile)
{
    writeFile(path("Quarin.ini"), "x");
    EXPECT_TRUE(m_files.remove(path("Quarin.ini")));
    EXPECT_FALSE(std::filesystem::exists(path("Quarin.ini")));
    EXPECT_FALSE(m_files.remove(path("Quarin.ini")));
}

TEST_F(FileSystemTest, AppendLockedCreatesTheFileAndAppends)
{
    std::string log = path("Quarin.log");
    EXPECT_EQ(m_files.appendLocked(log, "first\r\n"), 0);
    EXPECT_EQ(m_files.appendLocked(log, "second\r\n"), 0);
    EXPECT_EQ(contentsOf(log), "first\r\nsecond\r\n");
}

TEST_F(FileSystemTest, AppendLockedReportsTheErrorOfTheFailingStep)
{
    std::filesystem::create_directory(path("folder"));
    ASSERT_EQ(::symlink("/dev/full", path("full.log").c_str()), 0);

    struct Case
    {
        const char* name;
        int error;
    };

    const Case cases[] = {
        {"folder", EISDIR},
        {"full.log", ENOSPC},
        {"no/such/folder.log", ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(m_files.appendLocked(path(c.name), "line\r\n"), c.error);
    }
}

TEST_F(FileSystemTest, AppendLockedReportsAFileSizeLimit)
{
    std::string log = path("Quarin.log");
    int status = test::runInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{10, 10};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 90;
        }
        return m_files.appendLocked(log, std::string(100, 'x') + "\r\n");
    });
    EXPECT_EQ(status, EFBIG);
}

TEST_F(FileSystemTest, ProcessesAppendingAtOnceNeverMixTheirLines)
{
    constexpr int kWriters = 8;
    constexpr int kLines = 2000;
    std::string log = path("Quarin.log");
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(test::startChild([&, w] {
            char line[96];
            for (int i = 0; i < kLines; ++i) {
                std::snprintf(line,
                              sizeof line,
                              "12/06/26 08:04:00 - Slave ID = %d - line %05d of a long text\r\n",
                              w,
                              i);
                if (m_files.appendLocked(log, line) != 0) {
                    return 1;
                }
            }
            return 0;
        }));
    }
    for (pid_t pid : writers) {
        EXPECT_EQ(test::waitChild(pid), 0);
    }

    std::string text = contentsOf(log);
    std::vector<int> next(kWriters, 0);
    int lines = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "a torn last line";
        std::string line = text.substr(start, end - start);
        int writer = -1;
        int number = -1;
        int consumed = 0;
        ASSERT_EQ(std::sscanf(line.c_str(),
                              "12/06/26 08:04:00 - Slave ID = %d - line %d of a long text%n",
                              &writer,
                              &number,
                              &consumed),
                  2)
            << line;
        ASSERT_EQ(static_cast<std::size_t>(consumed), line.size()) << line;
        ASSERT_TRUE(writer >= 0 && writer < kWriters) << line;
        EXPECT_EQ(number, next[static_cast<std::size_t>(writer)]++) << line;
        ++lines;
        start = end + 2;
    }
    EXPECT_EQ(lines, kWriters * kLines);
}

TEST_F(FileSystemTest, AnAppendWaitsForTheHolderAndAKilledHolderFreesTheLock)
{
    std::string log = path("Quarin.log");
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    pid_t holder = test::startChild([&] {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(ready[1], "x", 1) != 1) {
            return 1;
        }
        ::sleep(30);
        return 0;
    });
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    ::close(ready[0]);

    auto append =
        std::async(std::launch::async, [&] { return m_files.appendLocked(log, "mine\r\n"); });
    EXPECT_EQ(append.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_EQ(contentsOf(log), "");

    auto killed = Clock::now();
    ::kill(holder, SIGKILL);
    EXPECT_EQ(test::waitChild(holder), -1);
    ASSERT_EQ(append.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LT(test::msSince(killed), 1000);
    EXPECT_EQ(append.get(), 0);
    EXPECT_EQ(contentsOf(log), "mine\r\n");
}

} // namespace
} // namespace quarin::posix
