// Failure boxes against a real slave and a real socket stack: the box's text as it always was,
// and a detail that names what went wrong.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/live_console.h"
#include "support/peer_rig.h"

namespace quarin::test {
namespace {

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(FailureDetailLive, AnExceptionOfALibmodbusSlaveIsNamed)
{
    SerialRig rig(2);
    ASSERT_TRUE(rig.start(rtuSlave(rig.cable, "30")));

    LiveConsole c;
    c.timeoutMs(1000);
    c.view.setIndex(ControlId::Port, 2);
    c.dlg.applyPortRules();
    c.view.setIndex(ControlId::Baud, 3);
    c.view.setIndex(ControlId::Parity, 1);
    // 125 registers from address 65499 run past the last one the slave has.
    c.view.type(ControlId::StartRegister, "65500");
    c.view.type(ControlId::RegisterCount, "125");
    c.dlg.onRead();

    const std::vector<ShownBox> boxes = c.view.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(endsWith(boxes[0].text, " - Slave ID = 1 - Exception response received - type 2"))
        << boxes[0].text;
    EXPECT_NE(boxes[0].detail.find("Exception 2: Illegal data address."), std::string::npos)
        << boxes[0].detail;
    EXPECT_TRUE(rig.slave.stop());
}

TEST(FailureDetailLive, ARefusedConnectionIsNamed)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok()) << dir.error();
    const LoopbackPort closed;
    ASSERT_GT(closed.port(), 0);
    LiveConsole c(closed.port());
    c.timeoutMs(1000);
    c.useTcp();
    c.dlg.onRead();
    c.dlg.onWrite();

    const std::vector<ShownBox> boxes = c.view.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(endsWith(boxes[0].text,
                         "Winsock error occurred during connect attempt on socket - error = 111"))
        << boxes[0].text;
    EXPECT_EQ(boxes[1].text,
              "Slave ID 1 - Winsock error occurred during connect attempt on socket - error = 111");
    for (const ShownBox& box : boxes) {
        EXPECT_NE(box.detail.find("Error 111 = ECONNREFUSED (Connection refused)."),
                  std::string::npos)
            << box.detail;
    }
}

} // namespace
} // namespace quarin::test
