// serial_fixture: loopback servers, registry views and message helpers for the port library tests.
#ifndef QAV_TESTS_SERIAL_FIXTURE_H
#define QAV_TESTS_SERIAL_FIXTURE_H

#include "serial.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

// Each test starts with an empty registry and quiet diagnostics.
class SerialTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Entries of earlier tests stay allocated and reachable, as in the library.
        // (Never destroyed, so they stay reachable through exit too.)
        static auto* earlierRegistries = new std::vector<PortEntry*>;
        earlierRegistries->push_back(ports);
        ports = nullptr;
        DEBUG_LEVEL = 0;
    }
};

// A TCP socket bound to 127.0.0.1 on a free port; listening when listens is true.
inline int loopbackSocket(int* port, bool listens = true)
{
    int sd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    if (listens) {
        EXPECT_EQ(listen(sd, 8), 0);
    }
    socklen_t size = sizeof addr;
    getsockname(sd, reinterpret_cast<sockaddr*>(&addr), &size);
    *port = ntohs(addr.sin_port);
    return sd;
}

// The descriptors of the registry, in list order, checking the back links on the way.
inline std::vector<int> registryFds()
{
    std::vector<int> fds;
    const PortEntry* previous = nullptr;
    for (const PortEntry* entry = ports; entry != nullptr; entry = entry->next) {
        EXPECT_EQ(entry->prev, previous);
        fds.push_back(entry->fd);
        previous = entry;
    }
    return fds;
}

inline const PortEntry* lastEntry()
{
    const PortEntry* entry = ports;
    while (entry != nullptr && entry->next != nullptr) entry = entry->next;
    return entry;
}

// Number of descriptors this process has open.
inline int openFdCount()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) count++;
    closedir(dir);
    return count;
}

// Error text with every "serial.cpp:<line>:" prefix turned into "serial.cpp:N:".
inline std::string withoutLineNumbers(const std::string& text)
{
    static const std::regex prefix("serial\\.cpp:[0-9]+:");
    return std::regex_replace(text, prefix, "serial.cpp:N:");
}

// Read exactly size bytes from fd (a test peer), or fewer when it closes.
inline std::string readBytes(int fd, std::size_t size)
{
    std::string data;
    char chunk[4096];
    while (data.size() < size) {
        std::size_t want = std::min(sizeof chunk, size - data.size());
        ssize_t n = read(fd, chunk, want);
        if (n <= 0) break;
        data.append(chunk, static_cast<std::size_t>(n));
    }
    return data;
}

#endif
