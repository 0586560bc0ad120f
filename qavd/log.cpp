// log: the daemon's own messages to standard error and the system log, never waiting on either's reader.
#include "log.h"

#include "output.h"
#include "writer.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// The datagram socket at /dev/log, connected on first use and again after the daemon behind it restarted.
class LogSocket {
public:
    // Send one record; flags MSG_DONTWAIT to give up rather than wait. False when it was lost.
    bool send(const std::string& record, int flags)
    {
        for (int attempt = 0; attempt < 2; attempt++) {
            if (fd < 0 && !connectSocket()) return true; // nobody listens: the record goes nowhere, as with syslog(3)
            ssize_t n = 0;
            while ((n = ::send(fd, record.data(), record.size(), flags | MSG_NOSIGNAL)) < 0 && errno == EINTR) {
            }
            if (n >= 0) return true;
            if (errno != ECONNREFUSED && errno != ENOTCONN && errno != EPIPE) return false;
            close(fd);
            fd = -1;
        }
        return true;
    }

private:
    bool connectSocket()
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, "/dev/log");
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
        if (fd >= 0) close(fd);
        fd = -1;
        return false;
    }

    int fd = -1;
};

// The two channels once startLogging() made them.
struct Channels {
    LogSocket socket;
    LineWriter stderrWriter{STDERR_FILENO, "standard error", logQueueLimit};
    LineWriter syslogWriter{[this](const std::string& record) { return socket.send(record, 0); }, "the system log",
                            logQueueLimit};
};

std::atomic<Channels*> channels{nullptr};
std::mutex earlyMutex; // guards earlySocket
LogSocket earlySocket; // before startLogging() (and in tests, which never call it)

// A record as syslog(3) sends it: "<PRI>Mmm dd hh:mm:ss qavd[PID]: text", stamped now.
std::string syslogRecord(int priority, const std::string& text)
{
    if ((priority & LOG_FACMASK) == 0) priority |= LOG_DAEMON;
    char stamp[32] = "";
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr) std::strftime(stamp, sizeof stamp, "%b %e %T", &local);
    return "<" + std::to_string(priority) + ">" + stamp + " qavd[" + std::to_string(getpid()) + "]: " + text;
}

} // namespace

void systemLog(int priority, const std::string& text)
{
    std::string record = syslogRecord(priority, text);
    if (Channels* open = channels.load()) open->syslogWriter.write(std::move(record));
    else {
        std::lock_guard lock(earlyMutex);
        earlySocket.send(record, MSG_DONTWAIT);
    }
}

void standardError(const std::string& text)
{
    std::string line = "qavd: " + text + "\n";
    if (Channels* open = channels.load()) open->stderrWriter.write(std::move(line));
    else std::fputs(line.c_str(), stderr);
}

void logMessage(int priority, const std::string& text)
{
    systemLog(priority, text);
    standardError(text);
}

void startLogging()
{
    // Never freed: threads that outlive the run may still log.
    if (channels.load() == nullptr) channels.store(new Channels);
}

void finishLogging(std::chrono::steady_clock::time_point deadline)
{
    if (Channels* open = channels.load()) {
        open->syslogWriter.finish(deadline);
        open->stderrWriter.finish(deadline);
    }
}

std::uint64_t stderrDropped()
{
    Channels* open = channels.load();
    return open != nullptr ? open->stderrWriter.dropped() : 0;
}

std::uint64_t syslogDropped()
{
    Channels* open = channels.load();
    return open != nullptr ? open->syslogWriter.dropped() : 0;
}
