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

// Ports on termios devices. A "COMn" entry in the working folder (a symlink to the device, or a
// device node) takes precedence over the table. The halt must outlive every port opened here.
class PosixSerialPorts : public SerialPorts
{
public:
    explicit PosixSerialPorts(const EventFdHalt& halt);

    std::string devicePath(int portIndex) const override;
    std::unique_ptr<SerialPort> open(int portIndex) override;
    int lastOpenError() const override;

    // The same open on a path of the caller's choice.
    std::unique_ptr<SerialPort> openPath(const std::string& path);

private:
    const EventFdHalt& m_halt;
    std::atomic<int> m_lastOpenError{0};
};

} // namespace quarin::posix
