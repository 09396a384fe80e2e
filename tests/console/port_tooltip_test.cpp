// The "Port:" tooltip, from what the platform says about the device.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/port_tooltip.h"
#include "support/fake_port_probe.h"
#include "transactions/tx_console.h"

namespace quarin::test {
namespace {

PortIdentity ftdiAdapter()
{
    PortIdentity port = ftdiAdapterInDialout();
    port.byId = {"usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0"};
    port.driver = "ftdi_sio";
    port.latencyTimerMs = 16;
    port.latencyTimerFile = "/sys/class/tty/ttyUSB0/device/latency_timer";
    return port;
}

TEST(PortToolTip, ALinkInTheWorkingFolderToAnAdapter)
{
    EXPECT_EQ(PortToolTip("COM1", ftdiAdapter()),
              "COM1 opens COM1 in the working folder, a link to "
              "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0\n"
              "Device: /dev/ttyUSB0, driver ftdi_sio\n"
              "By id: /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0\n"
              "Present; this user may open it.\n"
              "USB latency timer: 16 ms: replies arrive in steps of up to 16 ms, and transaction "
              "times with them. For 1 ms: echo 1 | sudo tee "
              "/sys/class/tty/ttyUSB0/device/latency_timer\n"
              "No process has it open.");
}

TEST(PortToolTip, SaysWhatIsWrongWithThePort)
{
    struct Case
    {
        const char* name;
        std::function<void(PortIdentity&)> setUp;
        std::vector<std::string> lines; // among the tip's lines
    };

    const Case cases[] = {
        {"fixed table, missing",
         [](PortIdentity& p) {
             p = PortIdentity{};
             p.path = "/dev/ttyUSB4";
         },
         {"COM1 opens /dev/ttyUSB4 (no COM1 link in the working folder)",
          "Missing: no such device. Is the adapter plugged in?"}},
        {"dangling link",
         [](PortIdentity& p) {
             p.exists = false;
             p.device.clear();
         },
         {"Missing: no such device. Is the adapter plugged in?"}},
        {"held",
         [](PortIdentity& p) {
             p.holders = {{812, "minicom", false}, {900, "quarin", true}};
         },
         {"Open in: 812 minicom, 900 quarin (this program)"}},
        {"not every process looked at",
         [](PortIdentity& p) { p.holdersComplete = false; },
         {"No process of this user has it open; those of other users were not looked at."}},
        {"no permission",
         [](PortIdentity& p) {
             p.mayOpen = false;
             p.inGroupNow = false;
             p.listedInGroup = false;
         },
         {"Present, but this user may not open it. It belongs to group dialout: sudo usermod -aG "
          "dialout $USER, then log out and in again."}},
        {"group joined after login",
         [](PortIdentity& p) {
             p.mayOpen = false;
             p.inGroupNow = false;
         },
         {"Present, but not for this session: you were added to group dialout after it began. "
          "Log out and in again."}},
        {"latency timer already low",
         [](PortIdentity& p) { p.latencyTimerMs = 1; },
         {"USB latency timer: 1 ms"}},
        {"no latency timer, no driver",
         [](PortIdentity& p) {
             p.latencyTimerMs.reset();
             p.driver.clear();
         },
         {"Device: /dev/ttyUSB0"}},
        {"a plain file",
         [](PortIdentity& p) { p.characterDevice = false; },
         {"Not a character device, so no serial port."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortIdentity port = ftdiAdapter();
        c.setUp(port);
        const std::string tip = PortToolTip("COM1", port);
        std::vector<std::string> lines;
        for (std::size_t at = 0; at <= tip.size();) {
            const std::size_t end = std::min(tip.find('\n', at), tip.size());
            lines.push_back(tip.substr(at, end - at));
            at = end + 1;
        }
        for (const std::string& line : c.lines) {
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << tip;
        }
    }
}

TEST(PortToolTip, TheConsoleAsksAboutThePathTheEntryOpens)
{
    FakeConsole c;
    EXPECT_EQ(c.dlg.portToolTip(4), "COM4 opens COM4");
    EXPECT_EQ(c.dlg.portToolTip(0), "");

    FakePortProbe probe;
    probe.ports["COM4"] = ftdiAdapter();
    probe.ports["COM4"].path = "COM4";
    c.dlg.setPortProbe(&probe);
    const std::string tip = c.dlg.portToolTip(4);
    EXPECT_TRUE(tip.starts_with("COM4 opens COM4 in the working folder, a link to ")) << tip;
    EXPECT_EQ(probe.asked, std::vector<std::string>{"COM4"});
    EXPECT_EQ(c.dlg.portToolTip(17), "");
    EXPECT_EQ(probe.asked.size(), 1u);
    // Looking never opens the port.
    EXPECT_TRUE(c.fp.serial.opened.empty());
}

} // namespace
} // namespace quarin::test
