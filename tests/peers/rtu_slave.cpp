// A Modbus RTU slave built on libmodbus, for tests that need a slave nobody here wrote.
//
// usage: rtu_slave <device> <baud> <E|N|O> <data bits> <stop bits> <slave id> [--lifetime <s>]
//
// Prints "READY" once the device is open. Answers 03, 04, 06 and 16 for its slave id, executes
// broadcasts (slave 0) without answering, and ignores requests for other slaves (for 100 ms after
// one it ignores the line too, where that slave's reply would be). Register contents and the
// stdin commands are described in slave_common.h. Ends when stdin closes, on SIGTERM, when the
// device hangs up, or after its lifetime (120 s unless given).

#include <cstdio>
#include <cstdlib>
#include <modbus/modbus-rtu.h>
#include <poll.h>
#include <string>
#include <vector>

#include "slave_common.h"

namespace {

// Well below any master's reply timeout, so its next request always comes after it.
constexpr std::uint32_t kOtherSlaveReplyWaitUs = 100000;

int serve(modbus_t* ctx, modbus_mapping_t& mapping, int lifetimeS)
{
    const auto deadline = peer::Clock::now() + std::chrono::seconds(lifetimeS);
    std::vector<std::uint8_t> query(MODBUS_RTU_MAX_ADU_LENGTH);
    peer::Activity activity;
    peer::StdinLines commands;
    const int headerLength = modbus_get_header_length(ctx);
    modbus_set_response_timeout(ctx, 0, kOtherSlaveReplyWaitUs);
    peer::say("READY");
    while (peer::g_stopRequested == 0) {
        const int timeoutMs = peer::pollTimeoutMs(deadline);
        if (timeoutMs < 0) {
            std::fprintf(stderr, "rtu_slave: lifetime over\n");
            return 0;
        }
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {modbus_get_socket(ctx), POLLIN, 0}};
        if (poll(fds, 2, timeoutMs) < 0) {
            continue;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            if (!commands.readAvailable()) {
                return 0;
            }
            for (std::string line; commands.nextLine(line);) {
                peer::say(peer::answerCommand(line, mapping, activity));
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const int rc = modbus_receive(ctx, query.data());
            if (rc > 0) {
                peer::noteRequest(activity, query.data(), rc, headerLength);
                modbus_reply(ctx, query.data(), rc, &mapping);
            } else if (rc == 0) {
                // A request for another slave: libmodbus now takes the next frame for that
                // slave's reply and drops it. Nobody else answers on this line, so let that wait
                // run out now instead of losing the master's next request to it.
                modbus_receive(ctx, query.data());
            } else if (rc < 0 && errno != EINTR) {
                // A broken frame: drop whatever is left of it so the next one starts clean.
                modbus_flush(ctx);
            }
        } else if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            std::fprintf(stderr, "rtu_slave: device hung up\n");
            return 3;
        }
    }
    return 0;
}

// A connected context, or null. Some pty drivers refuse parity or fewer than 8 data bits; a pty
// has no line, so the slave then falls back to 8N1, which carries the same bytes.
modbus_t* connectRtu(const std::vector<std::string>& args)
{
    const int baud = std::atoi(args[1].c_str());
    const char parity = args[2][0];
    const int dataBits = std::atoi(args[3].c_str());
    const int stopBits = std::atoi(args[4].c_str());
    const int slave = std::atoi(args[5].c_str());
    const auto attempt = [&](char p, int bits, int stops) -> modbus_t* {
        modbus_t* ctx = modbus_new_rtu(args[0].c_str(), baud, p, bits, stops);
        if (ctx == nullptr) {
            return nullptr;
        }
        if (modbus_set_slave(ctx, slave) != 0 || modbus_connect(ctx) != 0) {
            const int error = errno;
            modbus_free(ctx);
            errno = error;
            return nullptr;
        }
        return ctx;
    };
    modbus_t* ctx = attempt(parity, dataBits, stopBits);
    if (ctx == nullptr && errno == EINVAL && (parity != 'N' || dataBits != 8 || stopBits != 1)) {
        std::fprintf(stderr,
                     "rtu_slave: %s refused %c%d%d, serving with N81\n",
                     args[0].c_str(),
                     parity,
                     dataBits,
                     stopBits);
        ctx = attempt('N', 8, 1);
    }
    if (ctx == nullptr) {
        std::fprintf(stderr, "rtu_slave: %s: %s\n", args[0].c_str(), modbus_strerror(errno));
    }
    return ctx;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    int lifetimeS = 0;
    if (!peer::splitOptions(argc, argv, args, lifetimeS) || args.size() != 6 ||
        args[2].size() != 1) {
        std::fprintf(stderr,
                     "usage: rtu_slave <device> <baud> <E|N|O> <data bits> <stop bits> <slave id>"
                     " [--lifetime <s>]\n");
        return 2;
    }
    peer::installStopHandlers();
    modbus_mapping_t* mapping = peer::makeMapping();
    if (mapping == nullptr) {
        std::fprintf(stderr, "rtu_slave: no memory for the registers\n");
        return 2;
    }
    int status = 2;
    if (modbus_t* ctx = connectRtu(args); ctx != nullptr) {
        status = serve(ctx, *mapping, lifetimeS);
        modbus_close(ctx);
        modbus_free(ctx);
    }
    modbus_mapping_free(mapping);
    return status;
}
