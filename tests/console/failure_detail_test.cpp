// The detailed texts of failure boxes: the box's own text stays as it is, and the detail tells
// what the exception or error code means and what the operator can do.
#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/failure_detail.h"
#include "messages/format_text.h"
#include "support/fake_port_probe.h"
#include "transactions/tx_console.h"

namespace quarin::test {
namespace {

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(FailureDetail, ExceptionCodesHaveTheirStandardNames)
{
    struct Case
    {
        int code;
        const char* name;
    };

    const Case cases[] = {
        {1, "Illegal function"},
        {2, "Illegal data address"},
        {3, "Illegal data value"},
        {4, "Slave device failure"},
        {5, "Acknowledge"},
        {6, "Slave device busy"},
        {8, "Memory parity error"},
        {10, "Gateway path unavailable"},
        {11, "Gateway target device failed to respond"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const std::string detail = FailureDetail(Fault(ExceptionFault, c.code, ""));
        EXPECT_TRUE(contains(detail, formatText("Exception %d: %s.\n", c.code, c.name))) << detail;
    }
    for (int unnamed : {0, 9, 12, 254}) {
        const std::string detail = FailureDetail(Fault(ExceptionFault, unnamed, ""));
        EXPECT_TRUE(contains(detail, formatText("Exception %d is not one", unnamed))) << detail;
    }
}

TEST(FailureDetail, ErrnoValuesHaveTheirSymbolicNames)
{
    EXPECT_STREQ(ErrnoName(ECONNREFUSED), "ECONNREFUSED");
    EXPECT_STREQ(ErrnoName(EBUSY), "EBUSY");
    EXPECT_STREQ(ErrnoName(EACCES), "EACCES");
    EXPECT_STREQ(ErrnoName(EWOULDBLOCK), EWOULDBLOCK == EAGAIN ? "EAGAIN" : "EWOULDBLOCK");
    EXPECT_EQ(ErrnoName(0), nullptr);
    EXPECT_EQ(ErrnoName(-5), nullptr);
    EXPECT_EQ(ErrnoText(EBUSY), "errno 16 EBUSY (Device or resource busy)");
}

TEST(FailureDetail, NamesTheCodeOfEveryFaultThatCarriesOne)
{
    struct Case
    {
        Fault fault;
        std::vector<std::string> parts;
    };

    const Case cases[] = {
        // A report line, as a manual read shows it.
        {{ExceptionFault,
          2,
          "12/06/26 08:04:00 - Slave ID = 1 - Exception response received - type 2"},
         {"Exception 2: Illegal data address.", "Starting Register"}},
        {{ExceptionFault, 6, "Exception response form slave device - type 6"},
         {"Exception 6: Slave device busy."}},
        {{ExceptionFault, 11, "Slave ID 7 - Exception response received - type 11"},
         {"Exception 11: Gateway target device failed to respond."}},
        {{ExceptionFault, 254, "Exception response received - type 254"},
         {"Exception 254 is not one"}},
        {{ConnectFault,
          111,
          "12/06/26 08:04:00 - Slave IP = 10.0.0.9 - Slave ID = 1 - Winsock error occurred "
          "during connect attempt on socket - error = 111"},
         {"Error 111 = ECONNREFUSED (Connection refused).", "port 502"}},
        {{SendFault, 32, "Slave ID 1 - Winsock error occurred during send request - error = 32"},
         {"Error 32 = EPIPE", "dropped the connection"}},
        {{WaitReadableFault,
          0,
          "Winsock error occurred during select of socket for readability - error = 0"},
         {"Error 0.", "did not answer within the time-out"}},
        {{ReceiveFault, 104, "Winsock error occurred during socket recv operation - error = 104"},
         {"Error 104 = ECONNRESET"}},
        {{ReplyLengthFault,
          11,
          "Winsock error occurred during recv request of socket - error = 11"},
         {"Error 11 = EAGAIN", "not the reply's"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault.text);
        const std::string detail = FailureDetail(c.fault);
        for (const std::string& part : c.parts) {
            EXPECT_TRUE(contains(detail, part)) << detail;
        }
    }
}

TEST(FailureDetail, FixedFaultsGetAdviceAndOthersNothing)
{
    const Fault advised[] = {
        {NoReplyFault, 0, "Timeout waiting on a response"},
        {NoReplyFault, 0, "12/06/26 08:04:00 - Slave ID = 1 - Timeout waiting on a response"},
        {NoReplyFault, 0, "Timeout waiting on slave device to respond"},
        {CheckValueFault, 0, "CRC calculation does not match what was received"},
        {PortSettingsFault, 0, "Unable to initialize Port"},
        {ResolveFault, 0, "Could not resolve the current IP address for the device"},
    };
    for (const Fault& fault : advised) {
        EXPECT_FALSE(FailureDetail(fault).empty()) << fault.text;
    }
    // A text alone carries nothing to add, even one that reads like a fault that does.
    for (const char* text : {"Please enter an integer.",
                             "Number of registers must be in the range from 1 to 125",
                             "Quarin\nQM-1\n1.0",
                             "Exception response received - type ",
                             "Exception response received - type 2",
                             "Timeout waiting on a response",
                             ""}) {
        EXPECT_EQ(FailureDetail(Fault(text)), "") << text;
    }
}

TEST(CaptureFailureDetail, SaysWhatToDoForEachReason)
{
    struct Case
    {
        const char* name;
        int error;
        std::function<void(PortIdentity&)> setUp;
        std::vector<std::string> parts;
    };

    const Case cases[] = {
        {"held by another program",
         EBUSY,
         [](PortIdentity& p) {
             p.holders = {{4242, "minicom", false}};
         },
         {"COM1 opens COM1 = /dev/ttyUSB0",
          "errno 16 EBUSY (Device or resource busy)",
          "Another program has the port open: 4242 minicom."}},
        {"locked by another instance",
         EWOULDBLOCK,
         [](PortIdentity& p) {
             p.holders = {{17, "quarin", false}, {99, "quarin", true}};
         },
         {"Another program has the port open: 17 quarin. Close"}},
        {"held by this very program",
         EWOULDBLOCK,
         [](PortIdentity& p) {
             p.holders = {{99, "quarin", true}};
         },
         {"This program itself still has it open"}},
        {"let go since", EBUSY, [](PortIdentity&) {}, {"No process has it open now"}},
        {"held by another user's process",
         EBUSY,
         [](PortIdentity& p) { p.holdersComplete = false; },
         {"sudo fuser -v /dev/ttyUSB0"}},
        {"dangling link",
         ENOENT,
         [](PortIdentity& p) {
             p.exists = false;
             p.device.clear();
         },
         {"errno 2 ENOENT",
          "-> /dev/serial/by-id/usb-FTDI",
          "The link leads nowhere",
          "ln -sf /dev/serial/by-id/<name> COM1"}},
        {"not in the group",
         EACCES,
         [](PortIdentity& p) {
             p.mayOpen = false;
             p.inGroupNow = false;
             p.listedInGroup = false;
         },
         {"errno 13 EACCES", "sudo usermod -aG dialout $USER"}},
        {"added to the group after login",
         EACCES,
         [](PortIdentity& p) {
             p.mayOpen = false;
             p.inGroupNow = false;
         },
         {"this session began before you were added: log out and in again"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortIdentity port = ftdiAdapterInDialout();
        c.setUp(port);
        const std::string detail = CaptureFailureDetail("COM1", port, c.error);
        for (const std::string& part : c.parts) {
            EXPECT_TRUE(contains(detail, part)) << detail;
        }
    }
}

// The console's boxes: the text as before, the detail beside it.

TEST(FailureBoxDetail, UnableToCapturePortNamesTheErrnoAndTheHolder)
{
    FakeConsole c;
    FakePortProbe probe;
    PortIdentity port = ftdiAdapterInDialout();
    port.path = "COM2";
    port.holders = {{4242, "minicom", false}};
    probe.ports["COM2"] = port;
    c.dlg.setPortProbe(&probe);
    c.useSerial(2);
    c.fp.serial.script.openFails = true;
    c.fp.serial.script.openError = EBUSY;

    c.read();
    c.dataType(HoldingRegister);
    c.write();

    const std::vector<ShownBox> boxes = c.view.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    for (const ShownBox& box : boxes) {
        EXPECT_EQ(box.text, "Unable to capture Port");
        EXPECT_EQ(box.icon, MessageIcon::Error);
        EXPECT_TRUE(contains(box.detail, "errno 16 EBUSY")) << box.detail;
        EXPECT_TRUE(contains(box.detail, "4242 minicom")) << box.detail;
    }
    EXPECT_EQ(probe.asked, (std::vector<std::string>{"COM2", "COM2"}));
}

TEST(FailureBoxDetail, WithoutAProbeTheErrnoIsStillGiven)
{
    FakeConsole c;
    c.useSerial(3);
    c.fp.serial.script.openFails = true;
    c.fp.serial.script.openError = ENOENT;
    c.read();
    ASSERT_EQ(c.view.boxes().size(), 1u);
    EXPECT_TRUE(contains(c.view.boxes()[0].detail, "COM3 opens COM3, which failed with errno 2"))
        << c.view.boxes()[0].detail;
}

TEST(FailureBoxDetail, ExceptionRepliesAreNamed)
{
    FakeConsole c;
    c.useSerial();
    c.fp.serial.script.reads = {withCrc("01 83 02")};
    c.read();
    ASSERT_EQ(c.view.boxes().size(), 1u);
    EXPECT_EQ(c.view.boxes()[0].text, c.reportLine("Exception response received - type 2"));
    EXPECT_TRUE(contains(c.view.boxes()[0].detail, "Illegal data address"));

    c.view.clearBoxes();
    c.fp.serial.script.reads = {withCrc("01 90 03")};
    c.write();
    ASSERT_EQ(c.view.boxes().size(), 1u);
    EXPECT_EQ(c.view.boxes()[0].text, "Exception response form slave device - type 3");
    EXPECT_TRUE(contains(c.view.boxes()[0].detail, "Exception 3: Illegal data value."));
}

TEST(FailureBoxDetail, SocketErrorsAreNamed)
{
    FakeConsole c;
    c.useTcp("10.0.0.9");
    c.fp.sockets.connectError = ECONNREFUSED;
    c.read();
    ASSERT_EQ(c.view.boxes().size(), 1u);
    EXPECT_EQ(c.view.boxes()[0].text,
              c.reportLine("Winsock error occurred during connect attempt on socket - error = "
                           "111"));
    EXPECT_TRUE(contains(c.view.boxes()[0].detail, "ECONNREFUSED"));

    c.view.clearBoxes();
    c.write();
    ASSERT_EQ(c.view.boxes().size(), 1u);
    EXPECT_EQ(c.view.boxes()[0].text,
              "Slave ID 1 - Winsock error occurred during connect attempt on socket - error = 111");
    EXPECT_TRUE(contains(c.view.boxes()[0].detail, "ECONNREFUSED"));
}

TEST(FailureBoxDetail, LoggedFailuresStayAsTheyWere)
{
    FakeConsole c;
    c.useSerial();
    c.fp.serial.script.reads = {withCrc("01 83 02")};
    c.readLogged();
    EXPECT_TRUE(c.view.boxes().empty());
    EXPECT_EQ(c.log(), c.reportLine("Exception response received - type 2") + "\r\n");
}

TEST(FailureBoxDetail, BoxesWithoutAdviceHaveNoDetail)
{
    FakeConsole c;
    c.useSerial();
    c.type(ControlId::RegisterCount, "0");
    c.read();
    ASSERT_EQ(c.view.boxes().size(), 1u);
    EXPECT_EQ(c.view.boxes()[0].detail, "");
}

} // namespace
} // namespace quarin::test
