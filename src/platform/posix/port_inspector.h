#pragma once

#include <string>

#include "platform/port_inspector.h"

namespace quarin::posix {

// Where the inspector looks; tests put a made-up tree in their place.
struct InspectorRoots
{
    std::string dev = "/dev";
    std::string sys = "/sys";
    std::string proc = "/proc";
    std::string lock = "/var/lock"; // UUCP lock files
};

// stat, access, readlink, a scan of /proc/*/fd and the device's UUCP lock file: the device
// itself is never opened. A live process that holds the lock file counts as a holder.
class PosixPortInspector : public PortInspector
{
public:
    PosixPortInspector() = default;
    explicit PosixPortInspector(InspectorRoots roots);

    PortIdentity inspect(const std::string& path) const override;

private:
    InspectorRoots m_roots;
};

} // namespace quarin::posix
