#include "links/serial_line.h"

namespace quarin {

LineSettings LineSettingsFor(const ConsoleSettings& settings)
{
    static constexpr int kBaudRates[] = {1200, 2400, 4800, 9600, 19200};
    LineSettings line;
    line.baudRate = settings.m_baudRate >= 0 && settings.m_baudRate <= 4
                        ? kBaudRates[settings.m_baudRate]
                        : 38400;
    line.evenParity = settings.m_parity == 0;
    line.stopBits = line.evenParity ? 1 : 2;
    line.dataBits = settings.m_protocol == ModbusAscii ? 7 : 8;
    return line;
}

} // namespace quarin
