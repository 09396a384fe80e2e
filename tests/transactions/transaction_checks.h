#pragma once

// The openings and the checks that the serial and TCP transaction tests have in common.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "transactions/tx_console.h"

namespace quarin::test {

inline constexpr char kTimeout[] = "Timeout value must be in the range from 1000 to 60000";
inline constexpr char kCount100[] = "Number of registers must be in the range from 1 to 100";
inline constexpr char kCount125[] = "Number of registers must be in the range from 1 to 125";
inline constexpr char kCount10[] = "Number of registers must be in the range from 1 to 10";
inline constexpr char kStart[] = "Start Register must be in the range from 1 to 65535";
inline constexpr char kCapture[] = "Unable to capture Port";
inline constexpr char kInit[] = "Unable to initialize Port";
inline constexpr char kTx[] = "Unable to TX message";
inline constexpr char kRx[] = "Unable to RX message";
inline constexpr char kCrc[] = "CRC calculation does not match what was received";
inline constexpr char kSlaveId[] = "Slave ID in reponse does not match what was sent";
inline constexpr char kFunction[] = "Response has wrong function code";
inline constexpr char kByteCount[] = "Amount of data returned does not match what was requested";
inline constexpr char kSubFunction[] = "Response has wrong sub-function code";
inline constexpr char kNoAddress[] = "There must be a valid TCP/IP Address or URL entered";
inline constexpr char kWinsock[] = "Unable to initialize WinSock";
inline constexpr char kResolve[] = "Could not resolve the current IP address for the device";

// Values on the screen that a read must replace.
inline void staleValues(FakeConsole& c)
{
    c.values(std::vector<std::string>(kValueRows, "5"));
}

using Setup = std::function<void(FakeConsole&)>;

inline Setup typing(ControlId id, std::string text)
{
    return [id, text](FakeConsole& c) { c.type(id, text); };
}

inline Setup typingValues(std::vector<std::string> texts)
{
    return [texts](FakeConsole& c) { c.values(texts); };
}

inline Setup both(Setup first, Setup second)
{
    return [first, second](FakeConsole& c) {
        first(c);
        second(c);
    };
}

inline Setup inAscii(Setup then)
{
    return [then](FakeConsole& c) {
        c.dlg.selectAscii();
        then(c);
    };
}

// The data type chosen first, then the rest of the setup.
inline Setup ofType(DataType type, Setup then)
{
    return [type, then](FakeConsole& c) {
        c.dataType(type);
        then(c);
    };
}

inline Setup replying(Bytes reply)
{
    return [reply](FakeConsole& c) { c.reads({reply}); };
}

inline Setup answering(std::vector<SocketStep> steps)
{
    return [steps](FakeConsole& c) { c.replyWith(steps); };
}

inline Setup answering(const std::string& hex)
{
    return answering(std::vector<SocketStep>{data(hex)});
}

// The port's own failures, at the step each names.
inline void portHeldElsewhere(FakeConsole& c)
{
    c.fp.serial.script.openFails = true;
}

inline void lineSettingsRefused(FakeConsole& c)
{
    c.fp.serial.script.configureFails = true;
}

inline void writeFails(FakeConsole& c)
{
    c.fp.serial.script.writeFails = true;
}

inline void firstReadFails(FakeConsole& c)
{
    c.fp.serial.script.failRead = 0;
}

// A row of a failure table: how the transaction is broken, the text it must show and what it
// leaves behind.
template <typename After> struct FailureRowOf
{
    const char* name;
    Setup setup;
    std::string text;
    After after;
};

inline std::vector<std::string> valuesThen0(std::vector<std::string> first)
{
    first.resize(kValueRows, "0");
    return first;
}

// Three registers from register 7, the labels refreshed as the operator's typing would.
inline void threeRegistersFromSeven(FakeConsole& c)
{
    c.type(ControlId::StartRegister, "7");
    c.dlg.refreshLabels();
    c.type(ControlId::RegisterCount, "3");
    c.dlg.refreshLabels();
}

inline void expectSameScreen(const FakeConsole& c, const FakeConsole& other)
{
    EXPECT_EQ(c.shownValues(), other.shownValues());
    EXPECT_EQ(c.shownLabels(), other.shownLabels());
}

inline void expectIdle(const FakeConsole& c)
{
    EXPECT_FALSE(c.dlg.busy());
    EXPECT_EQ(c.view.busyDepth(), 0);
}

inline void expectTime(const FakeConsole& c, std::uint32_t ms)
{
    EXPECT_EQ(c.dlg.stats().lastMs, ms);
    EXPECT_EQ(c.view.text(ControlId::TransactionTime), std::to_string(ms));
}

// The one box of a failure, with the detail its text calls for, and nothing logged.
inline void expectOneErrorBox(const FakeConsole& c, const std::string& text)
{
    ASSERT_EQ(c.view.boxTexts(), std::vector<std::string>{text});
    EXPECT_EQ(c.view.boxes()[0].icon, MessageIcon::Error);
    expectFittingDetail(c.view.boxes()[0]);
    EXPECT_EQ(c.log(), "");
}

// A failed read of the logging mode: a box of its own is neither logged nor counted, a report is
// both and shows no box.
inline void expectLoggedRoad(const FakeConsole& c, const std::string& text, bool ownBox)
{
    if (ownBox) {
        EXPECT_EQ(c.view.boxTexts(), std::vector<std::string>{text});
        EXPECT_EQ(c.log(), "");
        EXPECT_EQ(c.dlg.stats().errorCount, 0u);
    } else {
        EXPECT_TRUE(c.view.boxTexts().empty());
        EXPECT_EQ(c.log(), c.reportLine(text) + "\r\n");
        EXPECT_EQ(c.dlg.stats().errorCount, 1u);
    }
}

// Whether the port was closed when a box went up; no port opened counts as closed.
inline void watchPortAtBox(FakeConsole& c, bool& closedAtBox)
{
    c.view.onBox([&c, &closedAtBox](const ShownBox&) {
        closedAtBox = c.fp.serial.last() == nullptr || c.fp.serial.last()->closed;
    });
}

// The next transaction, once repaired, adds no box and connects anew only after a dropped link.
inline void expectNextConnectsOnlyAfterADrop(FakeConsole& c,
                                             bool kept,
                                             const std::function<void(FakeConsole&)>& again)
{
    const std::size_t connects = c.fp.sockets.connects.size();
    const std::size_t boxes = c.view.boxTexts().size();
    again(c);
    EXPECT_EQ(c.view.boxTexts().size(), boxes) << c.view.boxTexts().back();
    EXPECT_EQ(c.fp.sockets.connects.size(), connects + (kept ? 0 : 1));
}

inline void expectSerialSentOnce(const FakeConsole& c, const Bytes& request)
{
    ASSERT_EQ(c.fp.serial.opened.size(), 1u);
    const SerialLog& port = *c.fp.serial.last();
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(toHex(port.writes[0]), toHex(request));
}

inline void expectTcpSentOnce(const FakeConsole& c, const std::string& request)
{
    ASSERT_EQ(c.fp.sockets.sent.size(), 1u);
    EXPECT_EQ(toHex(c.fp.sockets.sent[0]), toHex(hexBytes(request)));
}

} // namespace quarin::test
