#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/port_inspector.h"

namespace quarin::test {

// Answers what the test says about each path; a path it was told nothing about is missing.
class FakePortInspector : public PortInspector
{
public:
    PortIdentity inspect(const std::string& path) const override
    {
        asked.push_back(path);
        const auto it = ports.find(path);
        if (it != ports.end()) {
            return it->second;
        }
        PortIdentity missing;
        missing.path = path;
        return missing;
    }

    std::map<std::string, PortIdentity> ports;
    mutable std::vector<std::string> asked;
};

} // namespace quarin::test
