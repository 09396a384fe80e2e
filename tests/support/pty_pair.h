#pragma once

#include <filesystem>
#include <string>

namespace quarin::test {

// A serial line that exists only as a pty: a program opens the slave end by its path as it would
// a port, the other side sits on the master end. The slave end is also held open here, so a
// program that closes the port after every transaction does not hang the line up. Both ends are
// raw and kept from child processes.
class PtyPair
{
public:
    PtyPair() = default;

    ~PtyPair() { close(); }

    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool open(std::string& error);
    // dir/COM<n> as a link to the port end, where Quarin looks first.
    bool linkAsCom(const std::filesystem::path& dir, int n, std::string& error) const;
    // Both ends closed: the path no longer opens.
    void close();

    int master() const { return m_master; }

    int held() const { return m_held; }

    const std::string& path() const { return m_path; }

private:
    int m_master = -1;
    int m_held = -1;
    std::string m_path;
};

} // namespace quarin::test
