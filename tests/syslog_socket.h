// syslog_socket: read the system log records a program sends, at /dev/log.
#ifndef QAV_TESTS_SYSLOG_SOCKET_H
#define QAV_TESTS_SYSLOG_SOCKET_H

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// A datagram socket bound at /dev/log for the length of one test.
struct DevLog {
    int sd = -1;
    std::string skipReason;
};

inline DevLog bindDevLog()
{
    DevLog log;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    int probe = socket(AF_UNIX, SOCK_DGRAM, 0);
    bool owned = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(probe);
    if (owned) {
        log.skipReason = "a syslog daemon owns /dev/log, so the records cannot be read here";
        return log;
    }
    unlink("/dev/log"); // a socket left by a daemon that is gone
    log.sd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (bind(log.sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        log.skipReason = std::string("cannot bind /dev/log: ") + std::strerror(errno);
        close(log.sd);
        log.sd = -1;
    }
    return log;
}

// The next datagram on sd that holds tag (the sender's "ident:" or "ident[pid]:"),
// or "" after five seconds without one. Records of other programs are skipped.
inline std::string nextRecord(int sd, const std::string& tag)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd waiting{sd, POLLIN, 0};
        if (left.count() <= 0 || poll(&waiting, 1, static_cast<int>(left.count())) != 1) return "";
        char record[2048];
        ssize_t n = recv(sd, record, sizeof record, 0);
        std::string text = n > 0 ? std::string(record, static_cast<std::size_t>(n)) : "";
        if (text.find(tag) != std::string::npos) return text;
    }
}

#endif
