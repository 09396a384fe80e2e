#include "harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quarin::fuzz {

ExactInput::ExactInput(const std::uint8_t* data, std::size_t size)
    : m_data(std::make_unique<std::uint8_t[]>(size)), m_size(size)
{
    if (size > 0) {
        std::memcpy(m_data.get(), data, size);
    }
}

std::string_view ExactInput::text() const
{
    return {reinterpret_cast<const char*>(m_data.get()), m_size};
}

std::uint8_t Reader::byte()
{
    if (m_rest.empty()) {
        return 0;
    }
    const std::uint8_t b = m_rest.front();
    m_rest = m_rest.subspan(1);
    return b;
}

std::uint16_t Reader::word()
{
    const unsigned high = byte();
    const unsigned low = byte();
    return static_cast<std::uint16_t>(high << 8 | low);
}

std::span<const std::uint8_t> Reader::take(std::size_t n)
{
    const std::size_t k = std::min(n, m_rest.size());
    const std::span<const std::uint8_t> taken = m_rest.first(k);
    m_rest = m_rest.subspan(k);
    return taken;
}

void Fail(std::string_view what)
{
    std::fprintf(stderr, "fuzz check failed: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

Bytes DecodeAsciiChars(std::span<const std::uint8_t> chars)
{
    auto digit = [](std::uint8_t c) {
        const unsigned seven = c & 0x7Fu;
        return seven >= '0' && seven <= '9' ? seven - 0x30u : (seven - 0x37u) & 0xFFu;
    };
    Bytes bytes;
    if (chars.size() < 4) {
        return bytes;
    }
    const std::size_t k = chars.size() / 2 - 1;
    for (std::size_t i = 0; i < k; ++i) {
        const unsigned value = digit(chars[2 * i + 1]) * 16u | digit(chars[2 * i + 2]);
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFFu));
    }
    return bytes;
}

std::uint16_t WordAt(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(unsigned{bytes[at]} << 8 | bytes[at + 1]);
}

std::string ValueText(std::uint16_t value, bool hex)
{
    char text[8];
    std::snprintf(text, sizeof text, hex ? "%x" : "%u", unsigned{value});
    return text;
}

std::uint8_t FunctionOf(DataType type)
{
    switch (type) {
    case HoldingRegister:
    case SingleHoldingRegister:
        return 0x03;
    case InputRegister:
        return 0x04;
    case ScatteredRead:
        return 0x64;
    case DeviceIdentification:
        return 0x2B;
    }
    return 0;
}

bool ReadFieldsOk(std::span<const std::uint8_t> pdu,
                  DataType type,
                  int slaveId,
                  int count,
                  std::uint8_t transmissionNo)
{
    if (pdu.size() < 3 || int{pdu[0]} != slaveId || pdu[1] != FunctionOf(type)) {
        return false;
    }
    switch (type) {
    case HoldingRegister:
    case SingleHoldingRegister:
    case InputRegister:
        return int{pdu[2]} == 2 * count;
    case ScatteredRead:
        return pdu.size() >= 5 && int{pdu[2]} == 2 * count + 2 && pdu[3] == 0x04 &&
               pdu[4] == transmissionNo;
    case DeviceIdentification:
        return pdu[2] == 0x0E;
    }
    return false;
}

int TimeoutChoice(std::uint8_t bits)
{
    static constexpr int kTimeouts[] = {1000, 20000, 60000, 999};
    return kTimeouts[bits & 3u];
}

void Console::read(SampleMode mode)
{
    view.setIndex(ControlId::SampleMode, mode);
    dlg.onRead();
    if (mode == Manual) {
        return;
    }
    dlg.onTimer(CMasterDlg::kScheduleTimer);
    while (fp.workers.runNext()) {
    }
    if (dlg.scheduleRunning()) {
        // A count refused during the run puts the console back in Manual, and Stop then writes no
        // stop line.
        stopLine = dlg.settings().m_sampleMode == ScheduledWithLogging;
        dlg.onStop();
    }
}

int Console::boxes(MessageIcon icon) const
{
    const std::vector<test::ShownBox> shown = view.boxes();
    return static_cast<int>(std::count_if(
        shown.begin(), shown.end(), [icon](const test::ShownBox& b) { return b.icon == icon; }));
}

void Console::checkTransactionEnded() const
{
    Check(!dlg.busy(), "m_busy is still set after the transaction");
    Check(view.busyDepth() == 0, "the busy cursor is still up");
}

void Console::checkPortsClosed() const
{
    for (const auto& port : fp.serial.opened) {
        Check(!port->open, "a COM port was left open");
    }
}

void Console::checkLinkState() const
{
    Check(fp.sockets.open == (dlg.connected() ? 1 : 0),
          "the console's link state and the open sockets disagree");
    Check(fp.sockets.open >= 0, "a socket was closed twice");
}

void Console::checkLog() const
{
    const std::string text = log();
    std::size_t lines = 0;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos;
         at = text.find("\r\n", at + 2)) {
        ++lines;
    }
    Check(lines == dlg.stats().errorCount + (stopLine ? 1u : 0u),
          "the log does not hold one line per failure and the stop line");
    Check(text.empty() || text.ends_with("\r\n"), "the log does not end with CR LF");
}

} // namespace quarin::fuzz
