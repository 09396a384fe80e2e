#pragma once

// What the fuzz targets share: the input in an exact-size heap block, a reader that takes the
// settings bytes from its front, the console on the test fakes with its checks, the frame helpers
// of the tests (written out apart from the code under test), and a check that ends the run as a
// crash.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/bytes.h"
#include "support/fake_console.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace quarin::fuzz {

using test::asciiFrame;
using test::Bytes;
using test::mbap;
using test::referenceCrc16;
using test::referenceLrc;
using test::toBytes;
using test::withCrc;

// The input copied into a block of exactly its size, so that a read one byte too far is an
// ASan report and not a silent look at the fuzzer's own memory.
class ExactInput
{
public:
    ExactInput(const std::uint8_t* data, std::size_t size);

    std::span<const std::uint8_t> bytes() const { return {m_data.get(), m_size}; }

    std::string_view text() const;

private:
    std::unique_ptr<std::uint8_t[]> m_data;
    std::size_t m_size;
};

// Takes the settings from the front of the input; past its end every byte reads as 0, so a
// short input still makes a whole case.
class Reader
{
public:
    explicit Reader(std::span<const std::uint8_t> input) : m_rest(input) {}

    std::uint8_t byte();
    std::uint16_t word();                              // high byte first
    std::span<const std::uint8_t> take(std::size_t n); // at most n

    std::span<const std::uint8_t> rest() const { return m_rest; }

private:
    std::span<const std::uint8_t> m_rest;
};

// Ends the run with the reason on stderr; libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(std::string_view what);

inline void Check(bool ok, std::string_view what)
{
    if (!ok) {
        Fail(what);
    }
}

// The receiver's reading of L characters: floor(L/2) - 1 bytes, 7-bit digits, no lower case.
Bytes DecodeAsciiChars(std::span<const std::uint8_t> chars);
std::uint16_t WordAt(std::span<const std::uint8_t> bytes, std::size_t at);
// How the console shows a register value: "%u", or "%x" without prefix.
std::string ValueText(std::uint16_t value, bool hex);
std::uint8_t FunctionOf(DataType type);

// The read checks of a reply whose length and frame check have passed: slave address, function,
// byte count, then sub-function and transmission number or MEI type.
bool ReadFieldsOk(std::span<const std::uint8_t> pdu,
                  DataType type,
                  int slaveId,
                  int count,
                  std::uint8_t transmissionNo);

// Timeouts a case can choose: the three in range, and one just outside.
int TimeoutChoice(std::uint8_t bits);

// The shared console on fakes, made afresh for every input so that no state and no recorded
// message box outlives the run, with the checks every target makes.
struct Console : test::FakeConsole
{
    explicit Console(std::optional<std::string> ini = std::nullopt) : FakeConsole(std::move(ini)) {}

    bool stopLine = false;

    // The Read command; a scheduled mode runs one tick with its worker and is then stopped.
    void read(SampleMode mode);
    int boxes(MessageIcon icon) const;
    // Every way out of a transaction hands the console back and takes the cursor down.
    void checkTransactionEnded() const;
    // Every COM port a transaction opened is closed again.
    void checkPortsClosed() const;
    // The socket count of the fake agrees with what the console thinks of its link.
    void checkLinkState() const;
    // One CR LF line per counted failure, plus the stop line when Stop wrote one.
    void checkLog() const;
};

} // namespace quarin::fuzz
