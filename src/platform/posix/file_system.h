#pragma once

#include <cstddef>

#include "platform/file_system.h"

namespace quarin::posix {

class PosixFileSystem : public FileSystem
{
public:
    // readAll returns at most this much of a file.
    static constexpr std::size_t kReadLimit = 1024 * 1024;

    std::optional<std::string> readAll(const std::string& path) override;
    // Writes a temporary file beside the target (a symlink's target, not the link) and renames
    // it over the target. Where the folder forbids a new file, or the target is no regular file,
    // it writes in place instead. A target the caller may not write is left alone (false).
    bool replace(const std::string& path, std::string_view contents) override;
    bool remove(const std::string& path) override;
    // flock() on the file itself: it spans every process that appends to it and dies with its
    // holder.
    int appendLocked(const std::string& path, std::string_view line) override;
};

} // namespace quarin::posix
