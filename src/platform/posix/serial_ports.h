#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/serial_port.h"

namespace quarin::posix {

class EventFdHalt;

// COM1-COM8 -> /dev/ttyUSB0-7 (USB adapters, the common case), COM9-COM12 -> /dev/ttyACM0-3,
// COM13-COM16 -> /dev/ttyS0-3; empty outside 1..16.
std::string comTablePath(int portIndex);

// Where Linux serial programs keep their UUCP lock files.
inline constexpr char kUucpLockDir[] = "/var/lock";

// The UUCP lock file of a device: "LCK.." and the device's path under /dev, any '/' as '_'.
std::string uucpLockPath(const std::string& lockDir, const std::string& devicePath);

// The live process a UUCP lock file names; 0 when there is none, or it names a process that no
// longer runs.
int uucpLockHolder(const std::string& lockFile);

// Ports on termios devices. A "COMn" entry in the working folder (a symlink to the device, or a
// device node) takes precedence over the table. A port is held with flock, TIOCEXCL and the UUCP
// lock file in lockDir: a live one there refuses the open, a stale one is removed, and where no
// lock can be made in lockDir the port opens without one. The halt must outlive every port
// opened here.
class PosixSerialPorts : public SerialPorts
{
public:
    PosixSerialPorts(const EventFdHalt& halt, std::string lockDir);

    std::string devicePath(int portIndex) const override;
    std::unique_ptr<SerialPort> open(int portIndex) override;
    int lastOpenError() const override;

    // The same open on a path of the caller's choice.
    std::unique_ptr<SerialPort> openPath(const std::string& path);

private:
    const EventFdHalt& m_halt;
    const std::string m_lockDir;
    std::atomic<int> m_lastOpenError{0};
};

} // namespace quarin::posix
