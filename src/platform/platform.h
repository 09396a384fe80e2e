#pragma once

#include "platform/file_system.h"
#include "platform/halt_signal.h"
#include "platform/programs.h"
#include "platform/workers.h"

namespace quarin {

class SerialPorts;
class SocketApi;
class Clock;

struct Platform
{
    SerialPorts& serial;
    SocketApi& sockets;
    Clock& clock;
    WorkerStarter& workers;
    FileSystem& files;
    ProgramStarter& programs;
    HaltSignal& halt;
};

} // namespace quarin
