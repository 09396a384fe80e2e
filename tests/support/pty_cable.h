#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace quarin::test {

// A null-modem cable between two serial ports that exist only as ptys: Quarin opens one end
// (through a COM<n> link in its working folder), a peer slave the other. A relay thread copies
// the bytes between the two pty masters and can play tricks on the way: echo Quarin's bytes back
// to it as a two-wire line does, lose the peer's bytes, add bytes of its own, or pull the plug.
//
// The cable keeps each slave end open itself, so a program that closes its end (Quarin does
// after every transaction) does not leave a hung-up master behind, and the line settings and
// unread bytes stay as they were. Both slave ends start in raw mode.
class PtyCable
{
public:
    PtyCable();
    ~PtyCable();
    PtyCable(const PtyCable&) = delete;
    PtyCable& operator=(const PtyCable&) = delete;

    // False (with error()) when the ptys or the relay could not be set up.
    bool ok() const { return m_error.empty(); }

    const std::string& error() const { return m_error; }

    // The device paths of the two ends (/dev/pts/N).
    const std::string& quarinPath() const { return m_quarinPath; }

    const std::string& peerPath() const { return m_peerPath; }

    // Makes dir/COM<n> a symbolic link to Quarin's end.
    bool linkAsCom(const std::filesystem::path& dir, int n) const;

    // Two-wire line: every byte Quarin sends also comes back to Quarin, before the reply.
    void setEcho(bool on) { m_echo = on; }

    // Bytes from the peer are lost on the way (they are still recorded).
    void setPeerMuted(bool on) { m_peerMuted = on; }

    // Bytes from Quarin do not reach the peer (they are still recorded and echoed).
    void setPeerDeaf(bool on) { m_peerDeaf = on; }

    // Bytes that reach Quarin as if the peer had sent them.
    void injectTowardQuarin(std::span<const std::uint8_t> bytes);
    // Closes Quarin's master, as when a USB adapter is pulled out: Quarin's open end hangs up
    // and its path no longer opens. Returns once done.
    void vanish();

    // Everything each side has sent so far.
    std::vector<std::uint8_t> sentByQuarin() const;
    std::vector<std::uint8_t> sentByPeer() const;
    // True once Quarin has sent at least count bytes.
    bool waitSentByQuarin(std::size_t count, std::chrono::milliseconds timeout) const;
    void clearRecords();

private:
    void relay();
    void wake();
    static bool flush(int fd, std::vector<std::uint8_t>& pending);

    std::string m_error;
    std::string m_quarinPath;
    std::string m_peerPath;
    int m_quarinMaster = -1;
    int m_quarinSlave = -1;
    int m_peerMaster = -1;
    int m_peerSlave = -1;
    int m_wakeFd = -1;

    std::atomic<bool> m_echo{false};
    std::atomic<bool> m_peerMuted{false};
    std::atomic<bool> m_peerDeaf{false};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stop = false;
    bool m_vanishRequested = false;
    bool m_vanished = false;
    std::vector<std::uint8_t> m_inject;
    std::vector<std::uint8_t> m_fromQuarin;
    std::vector<std::uint8_t> m_fromPeer;

    std::thread m_relay;
};

} // namespace quarin::test
