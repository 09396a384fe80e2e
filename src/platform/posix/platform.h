#pragma once

#include <string>

#include "platform/platform.h"
#include "platform/posix/clock.h"
#include "platform/posix/file_system.h"
#include "platform/posix/halt_event.h"
#include "platform/posix/programs.h"
#include "platform/posix/serial_ports.h"
#include "platform/posix/socket_api.h"
#include "platform/posix/workers.h"

namespace quarin::posix {

// The program's one set of adapters, all woken by the one halt.
class PosixPlatform
{
public:
    // lockDir: where the serial ports' UUCP lock files go (kUucpLockDir but in tests).
    explicit PosixPlatform(std::string lockDir);
    PosixPlatform(const PosixPlatform&) = delete;
    PosixPlatform& operator=(const PosixPlatform&) = delete;

    Platform platform();

    EventFdHalt& halt() { return m_halt; }

private:
    EventFdHalt m_halt;
    PosixSerialPorts m_serial;
    PosixSocketApi m_sockets;
    PosixClock m_clock;
    ThreadWorkerStarter m_workers;
    PosixFileSystem m_files;
    PosixProgramStarter m_programs;
};

} // namespace quarin::posix
