#include "platform/posix/platform.h"

#include <csignal>
#include <utility>

namespace quarin::posix {

PosixPlatform::PosixPlatform(std::string lockDir)
    : m_serial(m_halt, std::move(lockDir)), m_sockets(m_halt), m_clock(m_halt)
{
    // A write past the file size limit (ulimit -f) must fail with EFBIG like any failed write,
    // not end the program; sends keep SIGPIPE away with MSG_NOSIGNAL.
    std::signal(SIGXFSZ, SIG_IGN);
}

Platform PosixPlatform::platform()
{
    return {m_serial, m_sockets, m_clock, m_workers, m_files, m_programs, m_halt};
}

} // namespace quarin::posix
