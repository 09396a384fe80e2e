#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quarin {

class FileSystem
{
public:
    virtual ~FileSystem() = default;
    virtual std::optional<std::string> readAll(const std::string& path) = 0;
    // Never leaves a short file behind: written beside the target and renamed over it.
    virtual bool replace(const std::string& path, std::string_view contents) = 0;
    virtual bool remove(const std::string& path) = 0;
    // Appends one line in one write, under a lock that every process appending to the same file
    // shares; returns 0 or the errno of the failing step.
    virtual int appendLocked(const std::string& path, std::string_view line) = 0;
};

} // namespace quarin
