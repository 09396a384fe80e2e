#pragma once

#include <string>

#include "platform/port_probe.h"

namespace quarin::posix {

// Where the probe looks; tests put a made-up tree in their place.
struct ProbeRoots
{
    std::string dev = "/dev";
    std::string sys = "/sys";
    std::string proc = "/proc";
    std::string lock = "/var/lock"; // UUCP lock files
};

// stat, access, readlink, a scan of /proc/*/fd and the device's UUCP lock file: the device
// itself is never opened. A live process that holds the lock file counts as a holder.
class PosixPortProbe : public PortProbe
{
public:
    PosixPortProbe() = default;
    explicit PosixPortProbe(ProbeRoots roots);

    PortIdentity identify(const std::string& path) const override;

private:
    ProbeRoots m_roots;
};

} // namespace quarin::posix
