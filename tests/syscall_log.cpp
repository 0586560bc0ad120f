// syscall_log: preloaded into a program under test, it notes when it connects, requests and sleeps.
//
// Each TCP connect() and each write or send of the status request appends a line
// "connect SECONDS" or "request SECONDS" to the file named by QAV_SYSCALL_LOG; each sleep
// or wait appends "sleep SECONDS ASKED" or "select SECONDS ASKED" with the length asked
// for. SECONDS is CLOCK_MONOTONIC as the program sees it. Preloaded ahead of libfaketime,
// the lengths are those the program asked for and the times are its faked ones, so a test
// can check its schedule without its own reading of the clock coming into it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Append "what SECONDS" (and " ASKED" when asked is not negative) to the log, keeping errno
// as the caller left it.
void note(const char* what, double asked = -1)
{
    int saved = errno;
    const char* path = std::getenv("QAV_SYSCALL_LOG");
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[96];
    int length = asked < 0 ? std::snprintf(line, sizeof line, "%s %lld.%09ld\n", what,
                                           static_cast<long long>(now.tv_sec), now.tv_nsec)
                           : std::snprintf(line, sizeof line, "%s %lld.%09ld %.6f\n", what,
                                           static_cast<long long>(now.tv_sec), now.tv_nsec, asked);
    int fd = path == nullptr ? -1 : open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && length > 0) {
        // The raw call, so that this write is not noted itself.
        (void)syscall(SYS_write, fd, line, static_cast<std::size_t>(length));
        close(fd);
    }
    errno = saved;
}

bool isRequest(const void* data, std::size_t size)
{
    return size == 4 && std::memcmp(data, "@RQ\n", 4) == 0;
}

// The next definition of name after this library's: the C library's.
template <typename Function> Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int connect(int sd, const sockaddr* address, socklen_t size)
{
    static auto real = next<int (*)(int, const sockaddr*, socklen_t)>("connect");
    if (address != nullptr && address->sa_family == AF_INET) note("connect");
    return real(sd, address, size);
}

extern "C" ssize_t write(int fd, const void* data, std::size_t size)
{
    static auto real = next<ssize_t (*)(int, const void*, std::size_t)>("write");
    if (isRequest(data, size)) note("request");
    return real(fd, data, size);
}

extern "C" ssize_t send(int sd, const void* data, std::size_t size, int flags)
{
    static auto real = next<ssize_t (*)(int, const void*, std::size_t, int)>("send");
    if (isRequest(data, size)) note("request");
    return real(sd, data, size, flags);
}

extern "C" unsigned sleep(unsigned seconds)
{
    static auto real = next<unsigned (*)(unsigned)>("sleep");
    note("sleep", seconds);
    return real(seconds);
}

extern "C" int usleep(useconds_t microseconds)
{
    static auto real = next<int (*)(useconds_t)>("usleep");
    note("sleep", microseconds / 1e6);
    return real(microseconds);
}

extern "C" int nanosleep(const timespec* length, timespec* left)
{
    static auto real = next<int (*)(const timespec*, timespec*)>("nanosleep");
    if (length != nullptr)
        note("sleep", static_cast<double>(length->tv_sec) + static_cast<double>(length->tv_nsec) / 1e9);
    return real(length, left);
}

extern "C" int select(int count, fd_set* reads, fd_set* writes, fd_set* errors, timeval* timeout)
{
    static auto real = next<int (*)(int, fd_set*, fd_set*, fd_set*, timeval*)>("select");
    double asked = timeout == nullptr ? 1e9
                                      : static_cast<double>(timeout->tv_sec) + static_cast<double>(timeout->tv_usec) / 1e6;
    note("select", asked);
    return real(count, reads, writes, errors, timeout);
}
