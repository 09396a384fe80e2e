// A log line from the input: BuildLogLine on its own, and reportFailure writing it to the log
// or showing it, with an address and a text that may hold printf directives.
//
//   byte 0     port (modulo 17, 0: TCP/IP)
//   bytes 1-4  slave ID, a signed 32-bit number, high byte first
//   byte 5     bit 0 logging mode (else Manual), bit 1 a notice (else a failure)
//   byte 6     address length, then the address
//   byte 7     time text length (low 5 bits), then the time text
//   the rest   the report text

#include <string>

#include "harness.h"
#include "persistence/failure_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quarin;
    using namespace quarin::fuzz;
    const ExactInput input(data, size);
    Reader in(input.bytes());
    ConsoleSettings settings;
    settings.m_port = in.byte() % 17;
    const std::uint32_t high = in.word();
    const std::uint32_t id = high << 16 | in.word();
    settings.m_slaveId = static_cast<int>(id);
    const std::uint8_t flags = in.byte();
    const std::size_t addressLength = in.byte();
    const std::size_t timeLength = in.byte() & 0x1Fu;
    auto text = [](std::span<const std::uint8_t> bytes) {
        return std::string(bytes.begin(), bytes.end());
    };
    settings.m_address = text(in.take(addressLength));
    const std::string time = text(in.take(timeLength));
    const ExactInput reportBlock(in.rest().data(), in.rest().size());
    const std::string_view report = reportBlock.text();

    // The line is built from its parts, never formatted from them.
    std::string expected = time + " - ";
    if (settings.m_port == 0) {
        expected += "Slave IP = " + settings.m_address + " - ";
    }
    expected += "Slave ID = " + std::to_string(settings.m_slaveId) + " - ";
    expected += report;
    Check(BuildLogLine(time, settings, report) == expected, "the log line is not its parts");

    Console console;
    ConsoleSettings& s = console.dlg.settings();
    s.m_port = settings.m_port;
    s.m_slaveId = settings.m_slaveId;
    s.m_address = settings.m_address;
    const bool logging = (flags & 0x01u) != 0;
    s.m_sampleMode = logging ? ScheduledWithLogging : Manual;
    console.fp.clock.setLocalTime(time);
    const ReportKind kind = (flags & 0x02u) != 0 ? Notice : Failure;
    console.dlg.reportFailure(std::string(report), kind);
    if (logging) {
        Check(console.log() == expected + "\r\n", "the log holds something else than the line");
        Check(console.view.boxes().empty(), "a logged line was also shown");
        Check(console.dlg.stats().errorCount == (kind == Notice ? 0u : 1u),
              "the failure was counted wrongly");
    } else {
        Check(console.view.boxTexts() == std::vector<std::string>{expected},
              "the box does not show the line");
        Check(console.log().empty(), "a shown line was also logged");
    }
    Check(!console.dlg.busy(), "reporting left the console busy");
    return 0;
}
