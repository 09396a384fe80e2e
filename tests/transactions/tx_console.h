#pragma once

// A console on fakes, driven the way the operator drives it, and slaves that answer correctly.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "console/master_dlg.h"
#include "support/fake_platform.h"
#include "support/fake_view.h"
#include "support/reference_crc.h"

namespace quarin::test {

inline constexpr char kLogFile[] = "Quarin.log";
inline constexpr char kStamp[] = "12/06/26 08:04:00 - ";

// The message with its CRC behind it, low byte first.
inline Bytes withCrc(Bytes message)
{
    const std::uint16_t crc = referenceCrc16(message);
    message.push_back(static_cast<std::uint8_t>(crc & 0xFFu));
    message.push_back(static_cast<std::uint8_t>(crc >> 8));
    return message;
}

inline Bytes withCrc(const std::string& hex)
{
    return withCrc(hexBytes(hex));
}

// ':' + upper-case hex pairs + LRC + CR LF.
inline Bytes asciiFrame(const Bytes& message)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = ":";
    unsigned sum = 0;
    auto pair = [&](std::uint8_t b) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0Fu];
    };
    for (std::uint8_t b : message) {
        pair(b);
        sum += b;
    }
    pair(static_cast<std::uint8_t>((0x100u - (sum & 0xFFu)) & 0xFFu));
    text += "\r\n";
    return Bytes(text.begin(), text.end());
}

inline Bytes asciiFrame(const std::string& hex)
{
    return asciiFrame(hexBytes(hex));
}

inline Bytes textBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

inline Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
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

// A Modbus TCP frame: identifier, protocol 0, the length of what follows, then unit and PDU.
inline Bytes mbap(std::uint16_t id, const Bytes& unitAndPdu)
{
    const std::size_t length = unitAndPdu.size();
    Bytes frame{static_cast<std::uint8_t>(id >> 8),
                static_cast<std::uint8_t>(id & 0xFFu),
                0,
                0,
                static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length & 0xFFu)};
    return concat(frame, unitAndPdu);
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

// A console on fakes whose window has opened with the defaults.
struct TxConsole
{
    FakePlatform fp;
    FakeView view;
    CMasterDlg dlg{view, fp.platform, 502};

    TxConsole() { dlg.onInitDialog(); }

    void useSerial(int port = 1)
    {
        view.setIndex(ControlId::Port, port);
        dlg.applyPortRules();
    }

    void useTcp(const std::string& address)
    {
        view.setIndex(ControlId::Port, 0);
        dlg.applyPortRules();
        view.type(ControlId::Address, address);
    }

    void dataType(DataType type)
    {
        view.setIndex(ControlId::DataType, type);
        dlg.applyDataTypeRules();
    }

    void type(ControlId id, const std::string& text, int row = 0) { view.type(id, text, row); }

    void select(ControlId id, int index) { view.setIndex(id, index); }

    // One read as the Read button makes it in the Manual mode.
    void read() { dlg.onRead(); }

    // One read of a run in the logging mode: Read, the first tick, the worker.
    void readLogged()
    {
        select(ControlId::SampleMode, ScheduledWithLogging);
        dlg.onRead();
        dlg.onTimer(CMasterDlg::kScheduleTimer);
        fp.workers.runNext();
    }

    void write() { dlg.onWrite(); }

    std::string log() const
    {
        const auto it = fp.files.files.find(kLogFile);
        return it == fp.files.files.end() ? std::string() : it->second;
    }

    std::vector<std::string> shownValues() const
    {
        std::vector<std::string> texts;
        for (int row = 0; row < kValueRows; ++row) {
            texts.push_back(view.text(ControlId::Value, row));
        }
        return texts;
    }

    std::vector<std::string> shownLabels() const
    {
        std::vector<std::string> texts;
        for (int row = 0; row < kValueRows; ++row) {
            texts.push_back(view.text(ControlId::RegisterLabel, row));
        }
        return texts;
    }

    std::vector<std::string> recordValues() const
    {
        const ValueTexts& values = dlg.settings().m_values;
        return {values.begin(), values.end()};
    }

    std::vector<std::string> recordLabels() const
    {
        const ValueTexts& labels = dlg.registerLabels();
        return {labels.begin(), labels.end()};
    }

    // The report line as the reporter writes it for the current settings.
    std::string reportLine(const std::string& text) const
    {
        std::string line = kStamp;
        if (!dlg.settings().serial()) {
            line += "Slave IP = " + dlg.settings().m_address + " - ";
        }
        return line + "Slave ID = " + std::to_string(dlg.settings().m_slaveId) + " - " + text;
    }
};

// The clicks that change how a read's reply is shown: "&Hex" and "&Jbus".
struct ClickRow
{
    const char* name;
    std::function<void(TxConsole&)> click;
};

inline std::vector<ClickRow> clickRows()
{
    return {
        {"&Hex",
         [](TxConsole& c) {
             c.select(ControlId::DisplayMode, Hex);
             c.dlg.changeDisplayMode();
         }},
        {"&Jbus",
         [](TxConsole& c) {
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

} // namespace quarin::test
