#include "console/frame_trace.h"

#include <algorithm>
#include <utility>

#include "messages/format_text.h"

namespace quarin {

namespace {

std::string hexText(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0Fu];
    }
    return text;
}

// As the transaction time is counted: unsigned, so a borrow from the seconds comes out right.
std::uint32_t elapsedMs(TimeStamp from, TimeStamp to)
{
    return (to.seconds - from.seconds) * 1000u + to.milliseconds - from.milliseconds;
}

std::string echoVerdict(std::span<const std::uint8_t> echo, std::span<const std::uint8_t> request)
{
    if (echo.empty()) {
        return "no echo";
    }
    if (std::equal(echo.begin(), echo.end(), request.begin(), request.end())) {
        return "echo matches";
    }
    if (echo.size() < request.size() && std::equal(echo.begin(), echo.end(), request.begin())) {
        return formatText("echo cut short: %zu of %zu bytes", echo.size(), request.size());
    }
    return "echo differs from the request";
}

} // namespace

void FrameTrace::sent(std::string link,
                      TimeStamp start,
                      std::span<const std::uint8_t> frame,
                      std::size_t left)
{
    if (!enabled()) {
        return;
    }
    m_recording = true;
    m_link = std::move(link);
    m_start = start;
    m_frames.push_back({Tx, start, {frame.begin(), frame.end()}, left, false});
}

void FrameTrace::echo(TimeStamp at, std::span<const std::uint8_t> bytes)
{
    if (m_recording) {
        m_frames.push_back({Echo, at, {bytes.begin(), bytes.end()}, 0, false});
    }
}

void FrameTrace::received(TimeStamp at, std::span<const std::uint8_t> bytes, bool failed)
{
    if (m_recording) {
        m_frames.push_back({Rx, at, {bytes.begin(), bytes.end()}, 0, failed});
    }
}

std::string FrameTrace::take()
{
    std::string lines;
    std::span<const std::uint8_t> request;
    for (const Frame& frame : m_frames) {
        static constexpr const char* kNames[] = {"TX", "ECHO", "RX"};
        std::string line = formatText("%u.%03u %s %s +%u ms",
                                      frame.at.seconds,
                                      frame.at.milliseconds,
                                      m_link.c_str(),
                                      kNames[frame.direction],
                                      elapsedMs(m_start, frame.at));
        if (!frame.bytes.empty()) {
            line += ' ' + hexText(frame.bytes);
        }
        switch (frame.direction) {
        case Tx:
            request = frame.bytes;
            if (frame.left == 0) {
                line += " (not sent)";
            } else if (frame.left < frame.bytes.size()) {
                line += formatText(" (only %zu of %zu bytes left)", frame.left, frame.bytes.size());
            }
            break;
        case Echo:
            line += " (" + echoVerdict(frame.bytes, request) + ")";
            break;
        case Rx:
            if (frame.bytes.empty()) {
                line += " (nothing)";
            }
            if (frame.failed) {
                line += " (read failed)";
            }
            break;
        }
        lines += line + "\r\n";
    }
    m_frames.clear();
    m_link.clear();
    m_recording = false;
    return lines;
}

} // namespace quarin
