// transport: the battery's port, opened, written and read with deadlines only.
#include "transport.h"

#include "serial.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Most bytes discarded before a request; a peer that never stops talking is
// then answered late rather than waited for.
constexpr std::size_t discardLimit = 4096;
// How often a serial line's output queue is looked at while it drains.
constexpr std::chrono::milliseconds drainStep{2};

// One name lookup, shared by the loop and the thread doing it, which the loop may abandon.
struct Lookup {
    std::mutex mutex;
    int error = 0;       // getaddrinfo()'s result
    in_addr address{};   // the first IPv4 address, when error is 0
    int done = -1;       // an eventfd, readable once the lookup ended

    Lookup() : done(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Lookup()
    {
        if (done >= 0) ::close(done);
    }
    Lookup(const Lookup&) = delete;
    Lookup& operator=(const Lookup&) = delete;
};

// Look host up on a thread of its own; null with errno set when none can be started.
std::shared_ptr<Lookup> startLookup(const std::string& host)
{
    auto lookup = std::make_shared<Lookup>();
    if (lookup->done < 0) return nullptr;
    try {
        std::thread([lookup, host] {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            int error = getaddrinfo(host.c_str(), nullptr, &hints, &found);
            {
                std::lock_guard lock(lookup->mutex);
                lookup->error = error;
                if (error == 0) lookup->address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
            }
            if (found != nullptr) freeaddrinfo(found);
            std::uint64_t one = 1;
            // Eight bytes to an eventfd that nobody else writes cannot fail.
            ssize_t written = ::write(lookup->done, &one, sizeof one);
            (void)written;
        }).detach();
    } catch (const std::system_error& error) {
        errno = error.code().value();
        return nullptr;
    }
    return lookup;
}

// Give the reason a failed open gives, closing its socket (when not -1); false.
bool failed(std::string* why, const std::string& reason, int fd = -1)
{
    *why = reason;
    if (fd >= 0) ::close(fd);
    return false;
}

} // namespace

Transport::Transport(const DaemonOptions& settings, Waiter waiter) : options(settings), wait(std::move(waiter)) {}

Transport::~Transport()
{
    close();
}

bool Transport::open(Clock::time_point deadline, std::string* why)
{
    HostPort endpoint;
    if (parseTcpAddress(options.address, &endpoint).empty()) return openTcp(endpoint, deadline, why);
    return openDevice(why);
}

// Resolve, then connect without blocking, both by the deadline.
bool Transport::openTcp(const HostPort& endpoint, Clock::time_point deadline, std::string* why)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(endpoint.port));
    if (inet_pton(AF_INET, endpoint.host.c_str(), &address.sin_addr) != 1) {
        std::shared_ptr<Lookup> lookup = startLookup(endpoint.host);
        if (!lookup) return failed(why, std::strerror(errno));
        if (wait(lookup->done, POLLIN, deadline) != Wake::ready)
            return failed(why, "no answer from the name server in time");
        std::lock_guard lock(lookup->mutex);
        if (lookup->error != 0) return failed(why, gai_strerror(lookup->error));
        address.sin_addr = lookup->address;
    }
    int sd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sd < 0) return failed(why, std::strerror(errno));
    if (connect(sd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) return failed(why, std::strerror(errno), sd);
        if (wait(sd, POLLOUT, deadline) != Wake::ready) return failed(why, std::strerror(ETIMEDOUT), sd);
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(sd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        if (error != 0) return failed(why, std::strerror(error), sd);
    }
    descriptor = sd;
    device = false;
    return true;
}

// Open a device path through the port library, which sets the line up; then make it non-blocking.
bool Transport::openDevice(std::string* why)
{
    int port = 0;
    if (openPort(options.address.c_str(), &port, options.speed, options.dataBits, options.stopBits,
                 options.parity.c_str()) <= 0)
        return failed(why, std::strerror(errno));
    int flags = fcntl(port, F_GETFL);
    if (flags < 0 || fcntl(port, F_SETFL, flags | O_NONBLOCK) != 0) {
        *why = std::strerror(errno);
        closePort(port);
        return false;
    }
    descriptor = port;
    device = true;
    return true;
}

bool Transport::discard() const
{
    if (device && flushRecv(descriptor) < 0) return false;
    char chunk[512];
    for (std::size_t dropped = 0; dropped < discardLimit;) {
        ssize_t n = read(descriptor, chunk, sizeof chunk);
        if (n > 0) dropped += static_cast<std::size_t>(n);
        else if (n == 0) return false;
        else if (errno != EINTR) return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

bool Transport::send(const std::string& text, Clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(descriptor, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (wait(descriptor, POLLOUT, deadline) != Wake::ready) return false;
        }
    }
    return !device || drain(deadline);
}

// Wait until a serial line has sent everything written to it, by the deadline.
bool Transport::drain(Clock::time_point deadline)
{
    for (;;) {
        int queued = 0;
        if (ioctl(descriptor, TIOCOUTQ, &queued) != 0) return false;
        if (queued == 0) return true;
        // A line tells no readiness for this; look again shortly.
        Clock::time_point next = std::min(deadline, Clock::now() + drainStep);
        if (wait(-1, 0, next) == Wake::terminate || Clock::now() >= deadline) return false;
    }
}

void Transport::close()
{
    if (descriptor < 0) return;
    if (device) closePort(descriptor);
    else ::close(descriptor);
    descriptor = -1;
}
