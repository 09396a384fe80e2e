// A Modbus TCP server built on libmodbus, for tests that need a slave nobody here wrote.
//
// usage: tcp_slave [--lifetime <s>]
//
// Listens on 127.0.0.1 at a port the system picks and prints "PORT <n>" once it accepts
// connections. Serves any number of connections at once and answers 03, 04, 06 and 16 for every
// unit id, 0 included (a broadcast on a serial line, but libmodbus answers it over TCP, which
// lets tests see what a master does with a reply it must not expect). A connection that sends
// something libmodbus cannot read is closed. Register contents and the stdin commands are
// described in slave_common.h. Ends when stdin closes, on SIGTERM, or after its lifetime.

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <modbus/modbus-tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "slave_common.h"

namespace {

// 127.0.0.1, port chosen by the system; -1 on failure.
int listenOnLoopback(int& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

int serve(modbus_t* ctx, int listener, modbus_mapping_t& mapping, int lifetimeS)
{
    const auto deadline = peer::Clock::now() + std::chrono::seconds(lifetimeS);
    std::vector<std::uint8_t> query(MODBUS_TCP_MAX_ADU_LENGTH);
    std::vector<int> clients;
    peer::Activity activity;
    peer::StdinLines commands;
    const int headerLength = modbus_get_header_length(ctx);
    while (peer::g_stopRequested == 0) {
        const int timeoutMs = peer::pollTimeoutMs(deadline);
        if (timeoutMs < 0) {
            std::fprintf(stderr, "tcp_slave: lifetime over\n");
            break;
        }
        std::vector<pollfd> fds = {{STDIN_FILENO, POLLIN, 0}, {listener, POLLIN, 0}};
        for (const int client : clients) {
            fds.push_back({client, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0) {
            continue;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            if (!commands.readAvailable()) {
                break;
            }
            for (std::string line; commands.nextLine(line);) {
                peer::say(peer::answerCommand(line, mapping, activity));
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                clients.push_back(client);
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            modbus_set_socket(ctx, fds[i].fd);
            const int rc = modbus_receive(ctx, query.data());
            if (rc > 0) {
                peer::noteRequest(activity, query.data(), rc, headerLength);
                if (modbus_reply(ctx, query.data(), rc, &mapping) >= 0) {
                    continue;
                }
            } else if (rc == 0 || errno == EINTR) {
                continue;
            }
            // Closed by the client, or unreadable: forget the connection.
            close(fds[i].fd);
            clients.erase(std::find(clients.begin(), clients.end(), fds[i].fd));
        }
    }
    for (const int client : clients) {
        close(client);
    }
    modbus_set_socket(ctx, -1);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    int lifetimeS = 0;
    if (!peer::splitOptions(argc, argv, args, lifetimeS) || !args.empty()) {
        std::fprintf(stderr, "usage: tcp_slave [--lifetime <s>]\n");
        return 2;
    }
    peer::installStopHandlers();
    int port = 0;
    const int listener = listenOnLoopback(port);
    if (listener < 0) {
        std::perror("tcp_slave: listen");
        return 2;
    }
    // The address and port only matter to a client context; this one never connects.
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t* mapping = peer::makeMapping();
    int status = 2;
    if (ctx != nullptr && mapping != nullptr) {
        peer::say("PORT " + std::to_string(port));
        status = serve(ctx, listener, *mapping, lifetimeS);
    } else {
        std::fprintf(stderr, "tcp_slave: %s\n", modbus_strerror(errno));
    }
    close(listener);
    if (mapping != nullptr) {
        modbus_mapping_free(mapping);
    }
    if (ctx != nullptr) {
        modbus_free(ctx);
    }
    return status;
}
