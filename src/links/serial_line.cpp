#include "links/serial_line.h"

namespace quarin {

LineSettings LineSettingsFor(int baudIndex, int parityIndex, ProtocolVariant protocol)
{
    static constexpr int kBaudRates[] = {1200, 2400, 4800, 9600, 19200};
    LineSettings line;
    line.baudRate = baudIndex >= 0 && baudIndex <= 4 ? kBaudRates[baudIndex] : 38400;
    line.evenParity = parityIndex == 0;
    line.stopBits = line.evenParity ? 1 : 2;
    line.dataBits = protocol == ModbusAscii ? 7 : 8;
    return line;
}

} // namespace quarin
