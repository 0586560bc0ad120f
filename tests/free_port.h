// free_port: loopback ports for test servers that cannot bind port 0 and say which port they got.
#ifndef QAV_TESTS_FREE_PORT_H
#define QAV_TESTS_FREE_PORT_H

#include <arpa/inet.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A port on 127.0.0.1 held for the life of the object by a bound socket that never listens,
// with SO_REUSEADDR. The kernel hands the port to no other bind() of port 0 and to no
// outgoing connection, and connections to it are refused; a server that sets SO_REUSEADDR
// itself (battery_sim, mosquitto, prometheus) can still listen on it, as often as it restarts.
class ReservedPort {
public:
    ReservedPort()
    {
        sd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        EXPECT_EQ(setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
        EXPECT_EQ(bind(sd, reinterpret_cast<sockaddr*>(&addr), size), 0);
        EXPECT_EQ(getsockname(sd, reinterpret_cast<sockaddr*>(&addr), &size), 0);
        port = ntohs(addr.sin_port);
    }
    ~ReservedPort() { close(sd); }
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;

    int port = 0;

private:
    int sd = -1;
};

// Start a server that cannot report its port on a reserved one; start(port) returns whether
// it came up. Should its bind clash all the same, it is started again on a new port, up to
// five times. The reservation that worked is kept in *held.
inline bool startOnReservedPort(std::unique_ptr<ReservedPort>* held, const std::function<bool(int)>& start)
{
    for (int attempt = 0; attempt < 5; attempt++) {
        *held = std::make_unique<ReservedPort>();
        if (start((*held)->port)) return true;
    }
    return false;
}

#endif
