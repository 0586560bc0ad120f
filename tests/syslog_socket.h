// syslog_socket: read the system log records a program sends, at /dev/log.
#ifndef QAV_TESTS_SYSLOG_SOCKET_H
#define QAV_TESTS_SYSLOG_SOCKET_H

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>
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

// Every record holding tag that reaches sd, read by a thread of its own, so that none
// is lost (the socket queues only a few) while the test waits for something else.
class RecordCollector {
public:
    RecordCollector(int sd, const std::string& tag) : thread([this, sd, tag] { collect(sd, tag); }) {}
    ~RecordCollector()
    {
        done = true;
        thread.join();
    }
    RecordCollector(const RecordCollector&) = delete;
    RecordCollector& operator=(const RecordCollector&) = delete;

    // The first record from the index from on that holds text, waiting up to seconds; "" for none.
    std::string find(const std::string& text, std::size_t from = 0, double seconds = 5)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            {
                std::lock_guard lock(mutex);
                for (std::size_t i = from; i < records.size(); i++)
                    if (records[i].find(text) != std::string::npos) return records[i];
            }
            if (std::chrono::steady_clock::now() >= end) return "";
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::vector<std::string> all()
    {
        std::lock_guard lock(mutex);
        return records;
    }

private:
    void collect(int sd, const std::string& tag)
    {
        while (!done) {
            pollfd waiting{sd, POLLIN, 0};
            if (poll(&waiting, 1, 50) != 1) continue;
            char record[8192];
            ssize_t n = recv(sd, record, sizeof record, 0);
            std::string text = n > 0 ? std::string(record, static_cast<std::size_t>(n)) : "";
            std::lock_guard lock(mutex);
            if (text.find(tag) != std::string::npos) records.push_back(text);
        }
    }

    std::atomic<bool> done{false};
    std::mutex mutex; // guards records
    std::vector<std::string> records;
    std::thread thread; // last, so it starts once the rest is there
};

#endif
