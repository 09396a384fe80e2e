#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace quarin {

struct LineSettings
{
    int baudRate = 38400;   // bit/s
    bool evenParity = true; // false: no parity
    int stopBits = 1;
    int dataBits = 8;
};

// How the kernel drives an RS-485 transceiver's direction on a port, where it does.
struct Rs485Mode
{
    bool rtsOnSend = true; // the RTS level while sending
    bool rtsAfterSend = false;
    int delayBeforeSendMs = 0;
    int delayAfterSendMs = 0;
    bool receiveDuringSend = false;
};

struct IoResult
{
    bool ok = false;
    std::size_t count = 0; // bytes moved before the deadline
};

// One open serial port, owned by the transaction that opened it. Closing it (or destroying it)
// releases the device for other programs.
class SerialPort
{
public:
    virtual ~SerialPort() = default;
    // Purges both directions and applies the line settings; false when the driver refuses them.
    virtual void purge() = 0;
    virtual bool configure(const LineSettings& settings) = 0;
    virtual void raiseDtr() = 0;
    // Done when the whole frame has left the output queue or timeoutMs has passed since the call.
    virtual IoResult write(std::span<const std::uint8_t> bytes, int timeoutMs) = 0;
    // Returns as soon as buffer.size() bytes have come, else at the deadline with what came.
    virtual IoResult read(std::span<std::uint8_t> buffer, int timeoutMs) = 0;
    virtual void clearErrors() = 0;
    virtual void close() = 0;

    // Read from the open port, never changed; nothing where the kernel does not drive RS-485.
    virtual std::optional<Rs485Mode> rs485() const { return std::nullopt; }
};

class SerialPorts
{
public:
    virtual ~SerialPorts() = default;
    // Where "COMn" leads: a COMn link in the working folder, else the fixed device table; empty
    // for an index outside 1..16.
    virtual std::string devicePath(int portIndex) const = 0;
    // Exclusive open; nullptr when the port cannot be captured. lastOpenError() says why (errno).
    virtual std::unique_ptr<SerialPort> open(int portIndex) = 0;
    virtual int lastOpenError() const = 0;
};

} // namespace quarin
