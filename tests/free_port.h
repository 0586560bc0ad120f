// free_port: a loopback port for a test's server, found by binding port 0.
#ifndef QAV_TESTS_FREE_PORT_H
#define QAV_TESTS_FREE_PORT_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A port on 127.0.0.1 that was free a moment ago (bound and released again).
inline int freePort()
{
    int sd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    EXPECT_EQ(bind(sd, reinterpret_cast<sockaddr*>(&addr), size), 0);
    getsockname(sd, reinterpret_cast<sockaddr*>(&addr), &size);
    close(sd);
    return ntohs(addr.sin_port);
}

#endif
