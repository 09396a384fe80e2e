#pragma once

#include <string>
#include <vector>

namespace quarin {

// Starts a program without a shell, detached, never waited for, reaped.
class ProgramStarter
{
public:
    virtual ~ProgramStarter() = default;
    virtual bool start(const std::vector<std::string>& argv, bool hidden) = 0;
    virtual bool exists(const std::string& path) const = 0;
};

} // namespace quarin
