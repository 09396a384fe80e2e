#include "platform/posix/port_probe.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/serial_ports.h"

namespace quarin::posix {

namespace {

std::optional<std::string> readLink(const std::string& path)
{
    std::array<char, 4096> buffer{};
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0 || static_cast<std::size_t>(n) >= buffer.size()) {
        return std::nullopt;
    }
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

std::string realPath(const std::string& path)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

std::string baseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A small sysfs or proc attribute, without its line end.
std::optional<std::string> readAttribute(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    std::array<char, 256> buffer{};
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    ::close(fd);
    if (n < 0) {
        return std::nullopt;
    }
    std::string text(buffer.data(), static_cast<std::size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// Names in a folder, sorted; error is 0 or the errno of opening it.
std::vector<std::string> entries(const std::string& folder, int& error)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    error = dir == nullptr ? errno : 0;
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool allDigits(const std::string& text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void findGroup(gid_t gid, PortIdentity& identity)
{
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        identity.group = std::to_string(gid);
        return;
    }
    identity.group = found->gr_name;

    identity.inGroupNow = ::getegid() == gid;
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<std::size_t>(count));
        const int got = ::getgroups(count, groups.data());
        if (got > 0) {
            groups.resize(static_cast<std::size_t>(got));
            identity.inGroupNow =
                identity.inGroupNow || std::find(groups.begin(), groups.end(), gid) != groups.end();
        }
    }

    // The database may list the user already while this session started before it did.
    std::vector<char> userBuffer(16384);
    passwd user{};
    passwd* me = nullptr;
    if (::getpwuid_r(::geteuid(), &user, userBuffer.data(), userBuffer.size(), &me) != 0 ||
        me == nullptr) {
        return;
    }
    identity.listedInGroup = me->pw_gid == gid;
    for (char** member = found->gr_mem; member != nullptr && *member != nullptr; ++member) {
        identity.listedInGroup = identity.listedInGroup || std::string(*member) == me->pw_name;
    }
}

// Where the link leads and what the device is; false when nothing is there.
bool statDevice(const std::string& path, PortIdentity& identity)
{
    struct stat entry
    {
    };

    if (::lstat(path.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode)) {
        identity.linkTarget = readLink(path).value_or(std::string());
    }
    if (::stat(path.c_str(), &entry) != 0) {
        return false;
    }
    identity.exists = true;
    identity.characterDevice = S_ISCHR(entry.st_mode);
    identity.device = realPath(path);
    identity.mayOpen = ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
    findGroup(entry.st_gid, identity);
    return true;
}

void findByIdNames(const ProbeRoots& roots, PortIdentity& identity)
{
    int error = 0;
    const std::string byIdFolder = roots.dev + "/serial/by-id";
    for (const std::string& name : entries(byIdFolder, error)) {
        if (realPath(byIdFolder + "/" + name) == identity.device) {
            identity.byId.push_back(name);
        }
    }
}

void readDriver(const ProbeRoots& roots, PortIdentity& identity)
{
    const std::string ttyFolder = roots.sys + "/class/tty/" + baseName(identity.device);
    if (const std::optional<std::string> driver = readLink(ttyFolder + "/device/driver")) {
        identity.driver = baseName(*driver);
    }
    const std::string latencyFile = ttyFolder + "/device/latency_timer";
    if (const std::optional<std::string> latency = readAttribute(latencyFile);
        latency && allDigits(*latency) && latency->size() <= 4) {
        identity.latencyTimerMs = std::atoi(latency->c_str());
        identity.latencyTimerFile = latencyFile;
    }
}

// The processes with the device open, by a scan of their descriptors.
void findOpeners(const ProbeRoots& roots, pid_t self, PortIdentity& identity)
{
    int error = 0;
    for (const std::string& pid : entries(roots.proc, error)) {
        if (!allDigits(pid)) {
            continue;
        }
        const std::string fdFolder = roots.proc + "/" + pid + "/fd";
        const std::vector<std::string> fds = entries(fdFolder, error);
        if (error != 0) {
            // Another user's process is closed to us; one that has just ended does not matter.
            identity.holdersComplete = identity.holdersComplete && error != EACCES;
            continue;
        }
        for (const std::string& fd : fds) {
            if (readLink(fdFolder + "/" + fd) != identity.device) {
                continue;
            }
            PortHolder holder;
            holder.pid = std::atoi(pid.c_str());
            holder.command = readAttribute(roots.proc + "/" + pid + "/comm").value_or("?");
            holder.self = holder.pid == self;
            identity.holders.push_back(std::move(holder));
            break;
        }
    }
}

// The live process named in the device's UUCP lock file, unless the scan found it already.
void findLocker(const ProbeRoots& roots, pid_t self, PortIdentity& identity)
{
    if (identity.device.empty()) {
        return;
    }
    const int locker = uucpLockHolder(uucpLockPath(roots.lock, identity.device));
    const bool listed =
        std::any_of(identity.holders.begin(),
                    identity.holders.end(),
                    [locker](const PortHolder& holder) { return holder.pid == locker; });
    if (locker != 0 && !listed) {
        const std::string comm = roots.proc + "/" + std::to_string(locker) + "/comm";
        identity.holders.push_back({locker, readAttribute(comm).value_or("?"), locker == self});
    }
}

} // namespace

PosixPortProbe::PosixPortProbe(ProbeRoots roots) : m_roots(std::move(roots)) {}

PortIdentity PosixPortProbe::identify(const std::string& path) const
{
    PortIdentity identity;
    identity.path = path;
    if (path.empty() || !statDevice(path, identity)) {
        return identity;
    }
    findByIdNames(m_roots, identity);
    readDriver(m_roots, identity);
    const pid_t self = ::getpid();
    findOpeners(m_roots, self, identity);
    findLocker(m_roots, self, identity);
    std::sort(identity.holders.begin(),
              identity.holders.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    return identity;
}

} // namespace quarin::posix
