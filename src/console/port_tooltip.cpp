#include "console/port_tooltip.h"

#include "messages/format_text.h"

namespace quarin {

std::string HolderList(const std::vector<PortHolder>& holders)
{
    std::string list;
    for (const PortHolder& holder : holders) {
        list += list.empty() ? "" : ", ";
        list += formatText("%d %s", holder.pid, holder.command.c_str());
        if (holder.self) {
            list += " (this program)";
        }
    }
    return list;
}

std::string PortToolTip(std::string_view comName, const PortIdentity& port)
{
    const std::string name(comName);
    if (port.path.empty()) {
        return {};
    }
    std::string tip;
    if (port.path == name) {
        tip = name + " opens " + name + " in the working folder";
        if (!port.linkTarget.empty()) {
            tip += ", a link to " + port.linkTarget;
        }
    } else {
        tip = name + " opens " + port.path + " (no " + name + " link in the working folder)";
    }
    if (!port.exists) {
        return tip + "\nMissing: no such device. Is the adapter plugged in?";
    }
    tip += "\nDevice: " + port.device;
    if (!port.driver.empty()) {
        tip += ", driver " + port.driver;
    }
    for (const std::string& id : port.byId) {
        tip += "\nBy id: /dev/serial/by-id/" + id;
    }
    if (!port.characterDevice) {
        tip += "\nNot a character device, so no serial port.";
    } else if (port.mayOpen) {
        tip += "\nPresent; this user may open it.";
    } else if (port.listedInGroup && !port.inGroupNow) {
        tip += "\nPresent, but not for this session: you were added to group " + port.group +
               " after it began. Log out and in again.";
    } else {
        tip += "\nPresent, but this user may not open it. It belongs to group " + port.group +
               ": sudo usermod -aG " + port.group + " $USER, then log out and in again.";
    }
    if (port.latencyTimerMs) {
        tip += formatText("\nUSB latency timer: %d ms", *port.latencyTimerMs);
        if (*port.latencyTimerMs > 1) {
            tip += formatText(": replies arrive in steps of up to %d ms, and transaction times "
                              "with them. For 1 ms: echo 1 | sudo tee ",
                              *port.latencyTimerMs) +
                   port.latencyTimerFile;
        }
    }
    if (const std::string holders = HolderList(port.holders); !holders.empty()) {
        tip += "\nOpen in: " + holders;
    } else if (!port.holdersComplete) {
        tip += "\nNo process of this user has it open; those of other users were not looked at.";
    } else {
        tip += "\nNo process has it open.";
    }
    return tip;
}

} // namespace quarin
