#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace quarin {

inline constexpr char kTraceFileName[] = "Quarin.trace";
inline constexpr char kTraceOn[] =
    "Frame trace on: every frame sent and received is appended to Quarin.trace.";
inline constexpr char kTraceOff[] = "Frame trace off.";
inline constexpr char kTraceNotWritten[] = "Quarin.trace could not be written: %s";

// The frames of one transaction, kept while it runs and turned into lines once its time has been
// taken, so that tracing costs the timed part no more than a copy and a clock reading. Switched
// on and off from the window's thread; the record belongs to whoever holds the console's m_busy.
class FrameTrace
{
public:
    bool enabled() const { return m_enabled.load(std::memory_order_relaxed); }

    void setEnabled(bool on) { m_enabled.store(on, std::memory_order_relaxed); }

    // A transaction's request: starts its record when tracing is on. `start` is the stamp the
    // transaction time counts from; `left` the bytes that left, of frame.size().
    void
    sent(std::string link, TimeStamp start, std::span<const std::uint8_t> frame, std::size_t left);
    // What a two-wire line gave back before the reply, compared with what was sent.
    void echo(TimeStamp at, std::span<const std::uint8_t> bytes);
    void received(TimeStamp at, std::span<const std::uint8_t> bytes, bool failed);

    // True between sent() with tracing on and take().
    bool recording() const { return m_recording; }

    // The record as lines, each ending in CR LF, and a fresh start; empty when nothing was kept.
    std::string take();

private:
    enum Direction
    {
        Tx,
        Echo,
        Rx
    };

    struct Frame
    {
        Direction direction = Tx;
        TimeStamp at;
        std::vector<std::uint8_t> bytes;
        std::size_t left = 0; // Tx: bytes of the frame that left
        bool failed = false;  // Rx: the read or receive failed
    };

    std::atomic<bool> m_enabled{false};
    bool m_recording = false;
    std::string m_link;
    TimeStamp m_start;
    std::vector<Frame> m_frames;
};

} // namespace quarin
