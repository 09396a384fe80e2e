#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_pair.h"

namespace quarin::test {

// A null-modem cable between two serial ports that exist only as ptys: Quarin opens one end
// (through a COM<n> link in its working folder), a peer slave the other. A relay thread copies
// the bytes between the two pty masters and can play tricks on the way: echo Quarin's bytes back
// to it as a two-wire line does, lose the peer's bytes, add bytes of its own, or pull the plug.
//
// The cable keeps each slave end open itself, so a program that closes its end (Quarin does
// after every transaction) does not leave a hung-up master behind, and the line settings and
// unread bytes stay as they were. Both slave ends start in raw mode.
//
// A wire-timed cable is a line as real UARTs drive it: each byte takes the character time of
// its sender's line settings as they stand (read with tcgetattr as the line runs), one after the
// other; it arrives intact only when the receiver's settings agree, else as a garbled byte (what
// a framing or parity error leaves); a byte still on the wire when its sender changes its
// settings or closes its end is garbled from that moment on. A Linux pty forces 8 data bits and
// no parity, so the cable sees baud rate and stop bits only: 8N2 is 11 bits, 8N1 10.
class PtyCable
{
public:
    enum class Line
    {
        Instant,
        WireTimed
    };

    explicit PtyCable(Line line = Line::Instant);
    ~PtyCable();
    PtyCable(const PtyCable&) = delete;
    PtyCable& operator=(const PtyCable&) = delete;

    // False (with error()) when the ptys or the relay could not be set up.
    bool ok() const { return m_error.empty(); }

    const std::string& error() const { return m_error; }

    // The device paths of the two ends (/dev/pts/N).
    const std::string& quarinPath() const { return m_quarin.path(); }

    const std::string& peerPath() const { return m_peer.path(); }

    // Makes dir/COM<n> a symbolic link to Quarin's end.
    bool linkAsCom(const std::filesystem::path& dir, int n) const;

    // Two-wire line: every byte Quarin sends also comes back to Quarin, before the reply.
    void setEcho(bool on) { m_echo = on; }

    // Bytes from the peer are lost on the way (they are still recorded).
    void setPeerMuted(bool on) { m_peerMuted = on; }

    // Bytes from Quarin do not reach the peer (they are still recorded and echoed).
    void setPeerDeaf(bool on) { m_peerDeaf = on; }

    // Sets the line of the peer's end, for a peer that leaves its line as it finds it; false
    // for a baud rate termios has no name for.
    bool setPeerLine(int baudRate, int stopBits);

    // Wire-timed: a pause of this length on the wire between the peer's characters.
    void setReplyGap(std::chrono::microseconds gap) { m_replyGap = gap.count(); }

    // Bytes that reach Quarin as if the peer had sent them.
    void injectTowardQuarin(std::span<const std::uint8_t> bytes);
    // Closes Quarin's master, as when a USB adapter is pulled out: Quarin's open end hangs up
    // and its path no longer opens. Returns once done.
    void vanish();

    // Everything each side has sent so far.
    std::vector<std::uint8_t> sentByQuarin() const;
    std::vector<std::uint8_t> sentByPeer() const;
    bool waitSentByPeer(std::size_t count, std::chrono::milliseconds timeout) const;
    // True once count bytes wait unread at Quarin's end, as in a closed port's queue.
    bool waitQueuedTowardQuarin(std::size_t count, std::chrono::milliseconds timeout) const;
    // True once Quarin has sent at least count bytes.
    bool waitSentByQuarin(std::size_t count, std::chrono::milliseconds timeout) const;
    // What came out of the wire at the peer's end: garbled bytes as garbled.
    std::vector<std::uint8_t> receivedByPeer() const;
    bool waitReceivedByPeer(std::size_t count, std::chrono::milliseconds timeout) const;
    // Wire-timed: from the moment Quarin's first byte went on the wire to the moment the last
    // byte toward Quarin came off it, since the records were cleared; zero before both.
    std::chrono::microseconds exchangeTime() const;
    void clearRecords();

    // What a receiving UART makes of a byte sent at other settings.
    static std::uint8_t garbled(std::uint8_t byte)
    {
        return static_cast<std::uint8_t>(byte ^ 0xA5);
    }

private:
    using Clock = std::chrono::steady_clock;

    struct LineState
    {
        unsigned speed = 0;
        unsigned frame = 0;
        bool operator==(const LineState&) const = default;
    };

    struct OnWire
    {
        std::uint8_t byte;
        Clock::time_point end; // when its last bit is off the wire
        LineState sentOn;
        bool fromQuarin;
        bool garbled;
    };

    void relay();
    void relayInstant();
    void relayWireTimed();
    // Puts bytes on a line after what it carries; returns when the first one starts.
    static Clock::time_point sendOnWire(std::deque<OnWire>& wire,
                                        Clock::time_point& lineFree,
                                        const std::uint8_t* bytes,
                                        std::size_t count,
                                        const LineState& line,
                                        bool fromQuarin,
                                        Clock::duration gap);
    static LineState lineOf(int slaveFd);
    bool quarinClosed();
    void drainWakeFd();
    void wake();
    static bool flush(int fd, std::vector<std::uint8_t>& pending);

    std::string m_error;
    PtyPair m_quarin;
    PtyPair m_peer;
    int m_wakeFd = -1;
    int m_closeWatch = -1; // inotify: Quarin closing its end
    Line m_line;

    std::atomic<bool> m_echo{false};
    std::atomic<bool> m_peerMuted{false};
    std::atomic<bool> m_peerDeaf{false};
    std::atomic<long> m_replyGap{0};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stop = false;
    bool m_vanishRequested = false;
    bool m_vanished = false;
    std::vector<std::uint8_t> m_inject;
    std::vector<std::uint8_t> m_fromQuarin;
    std::vector<std::uint8_t> m_fromPeer;
    std::vector<std::uint8_t> m_toPeer;
    std::optional<Clock::time_point> m_firstQuarinStart;
    std::optional<Clock::time_point> m_lastTowardQuarinEnd;

    std::thread m_relay;
};

} // namespace quarin::test
