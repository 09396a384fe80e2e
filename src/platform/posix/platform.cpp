#include "platform/posix/platform.h"

namespace quarin::posix {

PosixPlatform::PosixPlatform() : m_serial(m_halt), m_sockets(m_halt), m_clock(m_halt) {}

Platform PosixPlatform::platform()
{
    return {m_serial, m_sockets, m_clock, m_workers, m_files, m_programs, m_halt};
}

} // namespace quarin::posix
