#include "platform/posix/programs.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quarin::posix {

namespace {

class SpawnSetup
{
public:
    SpawnSetup()
        : m_actionsReady(::posix_spawn_file_actions_init(&m_actions) == 0),
          m_attributesReady(::posix_spawnattr_init(&m_attributes) == 0)
    {}

    ~SpawnSetup()
    {
        if (m_actionsReady) {
            ::posix_spawn_file_actions_destroy(&m_actions);
        }
        if (m_attributesReady) {
            ::posix_spawnattr_destroy(&m_attributes);
        }
    }

    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool prepare(bool hidden)
    {
        if (!m_actionsReady || !m_attributesReady) {
            return false;
        }
        if (hidden && (!openNull(STDIN_FILENO, O_RDONLY) || !openNull(STDOUT_FILENO, O_WRONLY) ||
                       !openNull(STDERR_FILENO, O_WRONLY))) {
            return false;
        }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        // Everything this program opens is close-on-exec; this also covers what libraries open.
        if (::posix_spawn_file_actions_addclosefrom_np(&m_actions, STDERR_FILENO + 1) != 0) {
            return false;
        }
#endif
        // A worker thread may block signals and the program may ignore some (SIGPIPE): the
        // child starts clean, in a session of its own so that it outlives the console.
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        return ::posix_spawnattr_setsigmask(&m_attributes, &none) == 0 &&
               ::posix_spawnattr_setsigdefault(&m_attributes, &all) == 0 &&
               ::posix_spawnattr_setflags(&m_attributes,
                                          POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETSID) == 0;
    }

    const posix_spawn_file_actions_t* actions() const
    {
        return &m_actions;
    }

    const posix_spawnattr_t* attributes() const
    {
        return &m_attributes;
    }

private:
    bool openNull(int fd, int flags)
    {
        return ::posix_spawn_file_actions_addopen(&m_actions, fd, "/dev/null", flags, 0) == 0;
    }

    posix_spawn_file_actions_t m_actions{};
    posix_spawnattr_t m_attributes{};
    bool m_actionsReady;
    bool m_attributesReady;
};

void reap(pid_t pid)
{
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

bool PosixProgramStarter::start(const std::vector<std::string>& argv, bool hidden)
{
    if (argv.empty() || argv.front().empty()) {
        return false;
    }
    SpawnSetup setup;
    if (!setup.prepare(hidden)) {
        return false;
    }
    std::vector<std::string> strings = argv;
    std::vector<char*> arguments;
    arguments.reserve(strings.size() + 1);
    for (std::string& argument : strings) {
        arguments.push_back(argument.data());
    }
    arguments.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid,
                       strings.front().c_str(),
                       setup.actions(),
                       setup.attributes(),
                       arguments.data(),
                       environ) != 0) {
        return false;
    }
    try {
        std::thread(reap, pid).detach();
    } catch (const std::system_error&) {
        // Without a thread the child stays a zombie until the console ends; it still runs.
    }
    return true;
}

bool PosixProgramStarter::exists(const std::string& path) const
{
    return ::access(path.c_str(), X_OK) == 0;
}

} // namespace quarin::posix
