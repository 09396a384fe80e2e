#pragma once

// What the transaction tests share besides the console: socket steps and slaves that answer
// correctly.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/fake_console.h"

namespace quarin::test {

// A failed socket step: its own words, then the thread's socket error.
inline std::string winsockText(const char* step, int error)
{
    return std::string("Winsock error occurred during ") + step +
           " - error = " + std::to_string(error);
}

inline SocketStep data(const Bytes& bytes)
{
    return {SocketStep::Data, bytes, 0};
}

inline SocketStep data(const std::string& hex)
{
    return data(hexBytes(hex));
}

inline SocketStep closeStep()
{
    return {SocketStep::Close, {}, 0};
}

inline SocketStep failStep(int error)
{
    return {SocketStep::Fail, {}, error};
}

inline SocketStep silence()
{
    return {SocketStep::Silence, {}, 0};
}

inline std::uint16_t requestId(const Bytes& request)
{
    return static_cast<std::uint16_t>(request.at(0) << 8 | request.at(1));
}

// What a well-behaved slave answers to a request of this console: register k holds k + 1,
// identification objects 0..2 are "Quarin", "QM-1" and "1.0", writes are echoed.
inline Bytes goodTcpReply(const Bytes& request)
{
    const std::uint16_t id = requestId(request);
    const std::uint8_t unit = request.at(6);
    const std::uint8_t function = request.at(7);
    Bytes pdu{unit, function};
    auto values = [&](std::size_t n) {
        for (std::size_t k = 0; k < n; ++k) {
            pdu.push_back(static_cast<std::uint8_t>((k + 1) >> 8));
            pdu.push_back(static_cast<std::uint8_t>((k + 1) & 0xFFu));
        }
    };
    switch (function) {
    case 0x03:
    case 0x04: {
        const std::size_t n = request.at(11);
        pdu.push_back(static_cast<std::uint8_t>(2 * n));
        values(n);
        break;
    }
    case 0x64: {
        const std::size_t n = request.at(8) / 2u - 1u;
        pdu.push_back(request.at(8));
        pdu.push_back(0x04);
        pdu.push_back(request.at(10));
        values(n);
        break;
    }
    case 0x2B:
        pdu = concat(pdu, hexBytes("0E 01 01 00 00 03"));
        pdu = concat(pdu, concat(hexBytes("00 06"), textBytes("Quarin")));
        pdu = concat(pdu, concat(hexBytes("01 04"), textBytes("QM-1")));
        pdu = concat(pdu, concat(hexBytes("02 03"), textBytes("1.0")));
        break;
    case 0x06:
    case 0x10:
        pdu = Bytes(request.begin() + 6, request.begin() + 12);
        break;
    default:
        break;
    }
    return mbap(id, pdu);
}

inline std::vector<SocketStep> goodTcpSlave(const Bytes& request)
{
    return {data(goodTcpReply(request))};
}

// A console opened without a settings file, which the window must then take.
struct OpenedConsole : FakeConsole
{
    explicit OpenedConsole(Workers workers = Workers::Kept, Clock* clock = nullptr)
        : FakeConsole(std::nullopt, workers, clock)
    {
        EXPECT_TRUE(compatible);
    }
};

// The clicks that change how a read's reply is shown: "&Hex" and "&Jbus".
struct ClickRow
{
    const char* name;
    std::function<void(FakeConsole&)> click;
};

inline std::vector<ClickRow> clickRows()
{
    return {
        {"&Hex",
         [](FakeConsole& c) {
             c.select(ControlId::DisplayMode, Hex);
             c.dlg.changeDisplayMode();
         }},
        {"&Jbus",
         [](FakeConsole& c) {
             c.select(ControlId::Protocol, Jbus);
             c.dlg.showJbusLabels();
         }},
    };
}

// What the detail of a failure box must hold, told from the box's text by a reader of the test's
// own: the opening of the advice for a fixed text, the number for a text that carries one; empty
// for a box with nothing to add.
inline std::string expectedDetailPart(const std::string& text)
{
    static constexpr std::pair<const char*, const char*> kFixed[] = {
        {"Unable to initialize Port", "The driver refused the line settings"},
        {"Unable to TX message", "The adapter did not take the frame"},
        {"Unable to RX message", "Reading the port failed"},
        {"Timeout waiting on a response", "Nothing came back within the time-out"},
        {"Timeout waiting on slave device to respond", "Nothing came back within the time-out"},
        {"Fragment received, timeout waiting on a complete/correct response",
         "What came back was cut short or damaged"},
        {"Timeout waiting on slave device to send a complete/correct response",
         "What came back was cut short or damaged"},
        {"CRC calculation does not match what was received",
         "What came back was cut short or damaged"},
        {"Could not resolve the current IP address for the device", "The name did not resolve"},
        {"Socket has been closed during recv operation",
         "The slave closed the connection instead of answering"},
    };
    for (const auto& [fixed, part] : kFixed) {
        if (text.ends_with(fixed)) {
            return part;
        }
    }
    for (const auto& [stem, part] :
         {std::pair{" - type ", "Exception "}, std::pair{" - error = ", "Error "}}) {
        if (const std::size_t at = text.rfind(stem); at != std::string::npos) {
            return part + text.substr(at + std::string(stem).size());
        }
    }
    return {};
}

// The failure box's detail as its text calls for; the capture failure brings its own.
inline void expectFittingDetail(const ShownBox& box)
{
    if (box.text.ends_with("Unable to capture Port")) {
        EXPECT_FALSE(box.detail.empty());
        return;
    }
    const std::string part = expectedDetailPart(box.text);
    if (part.empty()) {
        EXPECT_EQ(box.detail, "") << box.text;
    } else {
        EXPECT_NE(box.detail.find(part), std::string::npos) << box.text << "\n" << box.detail;
    }
}

inline std::vector<std::string> allZero()
{
    return std::vector<std::string>(kValueRows, "0");
}

// COM1, or TCP/IP with a slave that answers correctly, at a time-out of 1500 ms; one holding
// register from register 1 of slave 1.
inline void serialAt1500(FakeConsole& c)
{
    c.useSerial(1);
    c.type(ControlId::Timeout, "1500");
}

inline void tcpAt1500(FakeConsole& c, const std::string& address = "127.0.0.1")
{
    c.useTcp(address);
    c.type(ControlId::Timeout, "1500");
    c.fp.sockets.slave = goodTcpSlave;
}

// Undoes what the failure rows break in the socket library and the slave.
inline void repairSockets(FakeSocketApi& s)
{
    s.startupFails = false;
    s.connectError.reset();
    s.writableTimesOut = false;
    s.sendError.reset();
    s.sendCount.reset();
    s.replies.clear();
}

// Every way out of a transaction hands the console back, the cursor down.
inline void expectHandedBack(const FakeConsole& c)
{
    EXPECT_FALSE(c.dlg.busy());
    EXPECT_EQ(c.view.busyDepth(), 0);
    EXPECT_GE(c.view.maxBusyDepth(), 1);
}

// A failed read: its time as given, zeros in the record and on the screen.
inline void expectFailedRead(const FakeConsole& c, std::uint32_t lastMs)
{
    EXPECT_EQ(c.dlg.stats().lastMs, lastMs);
    EXPECT_EQ(c.view.text(ControlId::TransactionTime), std::to_string(lastMs));
    EXPECT_EQ(c.recordValues(), allZero());
    EXPECT_EQ(c.shownValues(), allZero());
    expectHandedBack(c);
}

// The port after a serial failure: closed once its pending errors were cleared, or never opened.
inline void expectPortAfterFailure(const FakeConsole& c, bool opened, int clears)
{
    EXPECT_TRUE(c.fp.clock.sleeps().empty()) << "no pause after a failure";
    if (opened) {
        ASSERT_EQ(c.fp.serial.opened.size(), 1u);
        EXPECT_TRUE(c.fp.serial.last()->closed);
        EXPECT_EQ(c.fp.serial.last()->clearErrors, clears);
    } else {
        EXPECT_TRUE(c.fp.serial.opened.empty());
    }
}

} // namespace quarin::test
