#pragma once

#include <filesystem>
#include <string>

namespace quarin::bench {

// A serial line that exists only as a pty: a master opens the slave end by its path as it would a
// port, the slave program sits on the master end. The slave end is also held open here, raw, so a
// master that closes the port after every transaction does not hang the line up.
class PtyPair
{
public:
    PtyPair() = default;
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool open(std::string& error);
    // dir/COM<n> as a link to the port end, where Quarin looks first.
    bool linkAsCom(const std::filesystem::path& dir, int n, std::string& error) const;

    int master() const { return m_master; }

    const std::string& path() const { return m_path; }

private:
    int m_master = -1;
    int m_held = -1;
    std::string m_path;
};

} // namespace quarin::bench
