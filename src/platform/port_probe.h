#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quarin {

struct PortHolder
{
    int pid = 0;
    std::string command; // the process's name, as the kernel keeps it
    bool self = false;   // this program
};

// What the system says about a serial device path, found without opening it.
struct PortIdentity
{
    std::string path;              // as the console opens it: "COM3" or "/dev/ttyUSB0"
    std::string linkTarget;        // what a symbolic link at path says, as written; empty otherwise
    std::string device;            // the device the path reaches, all links resolved; empty if none
    std::vector<std::string> byId; // names in /dev/serial/by-id that reach the same device
    bool exists = false;
    bool characterDevice = false;
    bool mayOpen = false;       // this process may open it for reading and writing
    std::string group;          // the device's group, "dialout" for most serial devices
    bool inGroupNow = false;    // this process carries that group
    bool listedInGroup = false; // the user database lists this user in it (maybe since login)
    std::string driver;         // kernel driver, "ftdi_sio" say; empty when sysfs has none
    std::optional<int> latencyTimerMs; // USB serial latency timer, where sysfs shows it
    std::string latencyTimerFile;      // where it is set
    std::vector<PortHolder> holders;   // processes that have the device open
    bool holdersComplete = true;       // false when some processes could not be looked at
};

// Answers from sysfs, udev's links and /proc only. Opening a tty raises DTR and RTS, which on a
// live bus can wake or upset a device, so nothing here ever opens the device itself.
class PortProbe
{
public:
    virtual ~PortProbe() = default;
    virtual PortIdentity identify(const std::string& path) const = 0;
};

} // namespace quarin
