#pragma once

#include <string>

#include "platform/port_query.h"

namespace quarin::posix {

// Where the inspector looks; tests put a made-up tree in their place.
struct InspectorRoots
{
    std::string dev = "/dev";
    std::string sys = "/sys";
    std::string proc = "/proc";
};

// stat, access, readlink and a scan of /proc/*/fd: the device itself is never opened.
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
