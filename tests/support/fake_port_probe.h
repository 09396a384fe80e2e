#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/port_probe.h"

namespace quarin::test {

// Answers what the test says about each path; a path it was told nothing about is missing.
class FakePortProbe : public PortProbe
{
public:
    PortIdentity identify(const std::string& path) const override
    {
        asked.push_back(path);
        const auto it = ports.find(path);
        if (it != ports.end()) {
            return it->second;
        }
        PortIdentity missing;
        missing.path = path;
        return missing;
    }

    std::map<std::string, PortIdentity> ports;
    mutable std::vector<std::string> asked;
};

// An FTDI adapter reached through a COM link in the working folder, openable by this user.
inline PortIdentity ftdiAdapterAt(const std::string& path)
{
    PortIdentity port;
    port.path = path;
    port.linkTarget = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0";
    port.device = "/dev/ttyUSB0";
    port.exists = true;
    port.characterDevice = true;
    port.mayOpen = true;
    return port;
}

// The same on COM1, as a member of the group that owns it.
inline PortIdentity ftdiAdapterInDialout()
{
    PortIdentity port = ftdiAdapterAt("COM1");
    port.group = "dialout";
    port.inGroupNow = true;
    port.listedInGroup = true;
    return port;
}

} // namespace quarin::test
