// util: a millisecond sleep, a hexadecimal text parser, and descriptor helpers.
#include "util.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void msleep(int ms)
{
    if (ms <= 0) return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    // A signal cuts a sleep short; sleep on for what it left.
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}

// Value of one hex digit, or -1 when c is not one (bytes 0x80 and up never are).
static int hexDigit(signed char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int ahextoi(const char* text)
{
    // Unsigned arithmetic wraps modulo 2^32 without undefined behaviour.
    unsigned value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        int digit = hexDigit(static_cast<signed char>(*p));
        if (digit < 0) break;
        value = value * 16U + static_cast<unsigned>(digit);
    }
    return static_cast<int>(value);
}

void openStandardDescriptors()
{
    // open() takes the lowest free number, which is fd itself. Should it fail,
    // there is nowhere to say so, and the program runs on as it would have.
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) (void)open("/dev/null", O_RDWR);
}

// write() of all of text, retried when a signal interrupts it; what write() returned.
static ssize_t writeOnce(int fd, const char* text, std::size_t length)
{
    ssize_t written = write(fd, text, length);
    while (written < 0 && errno == EINTR) written = write(fd, text, length);
    return written;
}

int appendWhole(int fd, const char* text, std::size_t length)
{
    ssize_t written = writeOnce(fd, text, length);
    if (written == static_cast<ssize_t>(length)) return 0;
    if (written < 0) return errno;
    // A short write: the rest either goes too, or fails with the reason the
    // first write did not give; then the part written is cut off again.
    auto done = static_cast<std::size_t>(written);
    ssize_t rest = writeOnce(fd, text + done, length - done);
    if (rest == static_cast<ssize_t>(length - done)) return 0;
    int error = rest < 0 ? errno : ENOSPC;
    if (rest > 0) done += static_cast<std::size_t>(rest);
    struct stat file {};
    if (fstat(fd, &file) == 0) (void)ftruncate(fd, file.st_size - static_cast<off_t>(done));
    return error;
}
