// serial: serial devices and TCP endpoints behind one descriptor API.
#include "serial.h"

#include "util.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

PortEntry* ports = nullptr;

// Bare name of this source file, for the location prefix of error reports.
static const char* sourceName()
{
    const char* slash = std::strrchr(__FILE__, '/');
    return slash != nullptr ? slash + 1 : __FILE__;
}

// Write all of text to stderr in one write() where the system allows it.
static void writeError(const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // nowhere left to report to
        done += static_cast<std::size_t>(n);
    }
}

// Append printf-style text to out; the text may be of any length.
static void appendFormatted(std::string* out, const char* format, std::va_list args)
{
    std::va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    if (length > 0) {
        std::size_t start = out->size();
        out->resize(start + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(out->data() + start, static_cast<std::size_t>(length) + 1, format, again);
        out->resize(start + static_cast<std::size_t>(length));
    }
    va_end(again);
}

// Write "serial.cpp:LINE:" and the formatted message to stderr in one piece, so
// that two writers never interleave within a report. errno is kept for the caller.
__attribute__((format(printf, 2, 3))) static void reportAt(int line, const char* format, ...)
{
    int savedErrno = errno;
    std::string text = std::string(sourceName()) + ":" + std::to_string(line) + ":";
    std::va_list args;
    va_start(args, format);
    appendFormatted(&text, format, args);
    va_end(args);
    std::fflush(stderr); // anything stdio still holds goes first
    writeError(text);
    errno = savedErrno;
}

#define REPORT(...) reportAt(__LINE__, __VA_ARGS__)

// Port of descriptor fd, first in opening order, or null when none has it.
static PortEntry* findPort(int fd)
{
    for (PortEntry* entry = ports; entry != nullptr; entry = entry->next)
        if (entry->fd == fd) return entry;
    return nullptr;
}

// Append a fresh entry (fd 0, no send log) to the registry; null when out of memory.
static PortEntry* appendPort()
{
    auto* entry = static_cast<PortEntry*>(std::calloc(1, sizeof(PortEntry)));
    if (entry == nullptr) return nullptr;
    if (ports == nullptr) {
        ports = entry;
        return entry;
    }
    PortEntry* last = ports;
    while (last->next != nullptr) last = last->next;
    last->next = entry;
    entry->prev = last;
    return entry;
}

// Unlink an entry from the registry and release it.
static void removePort(PortEntry* entry)
{
    if (entry->prev != nullptr) entry->prev->next = entry->next;
    else ports = entry->next;
    if (entry->next != nullptr) entry->next->prev = entry->prev;
    std::free(entry);
}

// Split text in place at runs of colons; returns how many of the first max fields exist.
static int splitFields(char* text, const char* fields[], int max)
{
    char* rest = nullptr;
    int count = 0;
    for (char* token = strtok_r(text, ":", &rest); token != nullptr && count < max;
         token = strtok_r(nullptr, ":", &rest))
        fields[count++] = token;
    return count;
}

// The TCP path of openPort: "tcp:SERVER:PORT". Returns the socket or -1.
static int openTcp(PortEntry* entry, const char* address, int* fdOut)
{
    entry->isTcp = 1;
    char* copy = strdup(address);
    if (copy == nullptr) {
        REPORT("err: openPort: out of memory for \"%s\"\n", address);
        removePort(entry);
        return -1;
    }
    if (DEBUG_LEVEL > 0) std::fprintf(stderr, "server string is %s\n", copy);
    // A missing field stays empty and is never connected to.
    const char* fields[3] = {"", "", ""};
    int count = splitFields(copy, fields, 3);
    // strtol, as atoi does, but defined for out-of-range text.
    int port = static_cast<int>(std::strtol(fields[2], nullptr, 10));
    int fd = -1;
    if (count == 3) fd = connectAtPort(fields[0], fields[1], port);
    else errno = EINVAL;
    if (fd < 0) {
        int savedErrno = errno; // the caller may report the connect error
        REPORT("open of protocol '%s' on server '%s' on port '%d' failed\n", fields[0],
               fields[1], port);
        std::free(copy);
        removePort(entry);
        errno = savedErrno;
        return -1;
    }
    std::free(copy);
    entry->fd = fd;
    *fdOut = fd;
    return fd;
}

static int openDevice(PortEntry* entry, const char* path, int* fdOut, int speed, int dataBits,
                      int stopBits, const char* parity);

int openPort(const char* address, int* fdOut, int speed, int dataBits, int stopBits,
             const char* parity)
{
    *fdOut = 0;
    PortEntry* entry = appendPort();
    if (entry == nullptr) {
        REPORT("err: openPort: out of memory for \"%s\"\n", address);
        return -1;
    }
    if (std::strncmp(address, "tcp", 3) == 0) return openTcp(entry, address, fdOut);
    return openDevice(entry, address, fdOut, speed, dataBits, stopBits, parity);
}

// Move a new descriptor off 0, which callers take for "no port"; returns the
// descriptor to use, or -1 with errno set (the one given is then closed).
static int aboveZero(int fd)
{
    if (fd != 0) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    int savedErrno = errno;
    close(fd);
    errno = savedErrno;
    return moved;
}

// Close a socket without disturbing errno, which the caller may still report.
static int closeSocket(int sd)
{
    int savedErrno = errno;
    close(sd);
    errno = savedErrno;
    return -1;
}

// Fill addr with server's IPv4 address; false when a name does not resolve.
static bool resolveServer(const char* server, sockaddr_in* addr)
{
    if (std::isdigit(static_cast<unsigned char>(server[0])) != 0) {
        addr->sin_addr.s_addr = inet_addr(server);
        return true;
    }
    const hostent* host = gethostbyname(server);
    if (host == nullptr || host->h_addr_list[0] == nullptr) return false;
    std::size_t length = static_cast<std::size_t>(host->h_length);
    if (length > sizeof addr->sin_addr) length = sizeof addr->sin_addr;
    std::memcpy(&addr->sin_addr, host->h_addr_list[0], length);
    return true;
}

int connectAtPort(const char* protocol, const char* server, int port)
{
    (void)protocol;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    if (!resolveServer(server, &addr)) return -1;
    int sd = aboveZero(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (sd < 0) return -1;
    // The timeout bounds every read on the socket, not only recvStr's.
    timeval timeout{2, 0};
    if (setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0) {
        std::printf("unable to set socket receive timeout\n");
        return closeSocket(sd);
    }
    if (connect(sd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0)
        return closeSocket(sd);
    if (DEBUG_LEVEL > 0) std::fprintf(stderr, "sd is %d\n", sd);
    return sd;
}

int closePort(int fd)
{
    PortEntry* entry = findPort(fd);
    if (entry != nullptr) {
        // The entry goes with its port, so a later port given the same number is
        // never mistaken for this one, and the registry does not grow.
        if (entry->logFd != 0) close(entry->logFd);
        removePort(entry);
    }
    return close(fd);
}

// Wait until a serial line has sent everything. Returns 0, or a negative result.
static int flushSend(int fd)
{
    PortEntry* entry = findPort(fd);
    if (entry == nullptr) {
        REPORT("err: flushSend: no port has fd=%d\n", fd);
        errno = EBADF;
        return -1;
    }
    if (entry->isTcp != 0) return 0;
    int result = tcdrain(fd);
    if (result < 0) REPORT("err: flushSend: tcdrain failed: %s\n", std::strerror(errno));
    return result;
}

// Append "S<seconds>: <text>" to the port's send log, when it has one.
static void recordSend(int fd, const char* text)
{
    const PortEntry* entry = findPort(fd);
    if (entry == nullptr || entry->logFd == 0) return;
    std::string record = "S" + std::to_string(static_cast<long long>(std::time(nullptr))) + ": ";
    record += text;
    // A send log that cannot be written must not stop the sending.
    ssize_t written = write(entry->logFd, record.data(), record.size());
    (void)written;
}

int sendStr(int fd, const char* text)
{
    if (findPort(fd) == nullptr) {
        REPORT("err: sendStr: no port has fd=%d\n", fd);
        errno = EBADF;
        return -1;
    }
    int len = static_cast<int>(std::strlen(text));
    if (DEBUG_LEVEL > 3)
        std::fprintf(stderr, "sendStr: Sending %d chars to serial port %d:%s\n", len, fd, text);
    int written = static_cast<int>(write(fd, text, static_cast<std::size_t>(len)));
    if (written < len) {
        REPORT("err: sendStr wrote %d of %d bytes: %s\n", written, len, std::strerror(errno));
        return written;
    }
    int drained = flushSend(fd);
    if (drained < 0) {
        REPORT("err: sendStr tcdrain failed: %s\n", std::strerror(errno));
        return drained;
    }
    recordSend(fd, text);
    msleep(10);
    return 0;
}

int recvStr(int fd, char* buffer, int length)
{
    if (fd < 0 || fd >= FD_SETSIZE) {
        REPORT("err: recvStr fd=%d is outside 0 to %d\n", fd, FD_SETSIZE - 1);
        return -1;
    }
    if (length < 1) {
        REPORT("err: recvStr length=%d is below 1\n", length);
        return -1;
    }
    buffer[0] = '\0';
    if (DEBUG_LEVEL > 4) std::fprintf(stderr, "recvStr: Starting while select loop...\n");
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(fd, &readSet);
    timeval timeout{2, 0};
    std::printf("calling select\n");
    int ready = select(fd + 1, &readSet, nullptr, nullptr, &timeout);
    if (ready < 0) {
        int savedErrno = errno;
        std::perror("select returned error: ");
        REPORT("err: recvStr select failed %d: %s\n", ready, std::strerror(savedErrno));
        return -1;
    }
    if (ready == 0) {
        std::printf("no bytes ready\n");
        return 0;
    }
    std::printf("select returned %d\n", ready);
    std::memset(buffer, 0, static_cast<std::size_t>(length));
    int got = static_cast<int>(read(fd, buffer, static_cast<std::size_t>(length)));
    if (got < 0) REPORT("err: recvStr failed with %s", std::strerror(errno));
    else if (got == 0) REPORT("err: recvStr failed with no bytes\n");
    return got;
}

// Read and drop the bytes a socket holds now, and no more, so a flood cannot
// keep it reading. The end of the stream stays for the next read to find.
// Returns 0, or -1 when the socket cannot be read.
static int discardWaiting(int fd)
{
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) < 0) {
        REPORT("err: flushRecv failed: %s\n", std::strerror(errno));
        return -1;
    }
    char scrap[512];
    while (waiting > 0) {
        std::size_t want = std::min(sizeof scrap, static_cast<std::size_t>(waiting));
        ssize_t n = recv(fd, scrap, want, MSG_DONTWAIT);
        if (n > 0) waiting -= static_cast<int>(n);
        else if (n < 0 && errno == EINTR) continue;
        else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        else {
            REPORT("err: flushRecv failed: %s\n", std::strerror(errno));
            return -1;
        }
    }
    return 0;
}

int flushRecv(int fd)
{
    const PortEntry* entry = findPort(fd);
    if (entry == nullptr) {
        REPORT("err: flushRecv: no port has fd=%d\n", fd);
        return -1;
    }
    if (entry->isTcp != 0) return discardWaiting(fd);
    int result = tcflush(fd, TCIFLUSH);
    if (result < 0) REPORT("err: flushRecv failed: %s\n", std::strerror(errno));
    return result;
}

// ---- Serial devices ----

// A plain rate in baud and the termios code that selects it.
struct SpeedCode {
    int baud;
    speed_t code;
};

static const SpeedCode speedCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

// termios code for a rate in baud or for a code itself; false for anything else.
// B0 (hang up) is neither, so a port is never opened by dropping the line.
static bool speedCode(int speed, speed_t* code)
{
    const SpeedCode* match = std::ranges::find_if(speedCodes, [speed](const SpeedCode& entry) {
        return speed == entry.baud || static_cast<speed_t>(speed) == entry.code;
    });
    if (match == std::end(speedCodes)) return false;
    *code = match->code;
    return true;
}

// Set stop bits, data bits and parity in tio; reports and returns -1 when one is bad.
static int setFraming(termios* tio, const char* path, int dataBits, int stopBits,
                      const char* parity)
{
    if (stopBits == 2) tio->c_cflag |= CSTOPB;
    else tio->c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (dataBits < 5 || dataBits > 8) {
        REPORT("err: openPort: port \"%s\" has bad databits=%d\n", path, dataBits);
        return -1;
    }
    tio->c_cflag = (tio->c_cflag & ~static_cast<tcflag_t>(CSIZE)) | sizes[dataBits - 5];
    if (strcasecmp(parity, "NONE") == 0) {
        tio->c_cflag &= ~static_cast<tcflag_t>(PARENB);
    } else if (strcasecmp(parity, "EVEN") == 0) {
        tio->c_cflag = (tio->c_cflag | PARENB) & ~static_cast<tcflag_t>(PARODD);
    } else if (strcasecmp(parity, "ODD") == 0) {
        tio->c_cflag |= PARENB | PARODD;
    } else {
        REPORT("err: openPort: port \"%s\" has bad parity=%s\n", path, parity);
        return -1;
    }
    return 0;
}

// A raw line: bytes go out as written and come in as sent, with no translation, no
// software flow control (an XOFF byte from the device would stop every later write), and
// no signals or special characters; a read returns what is there, or 0 after 1 s of quiet.
// Speed, framing and hardware flow control stay as set.
static void setRaw(termios* tio)
{
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 10;
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                           IXANY | IMAXBEL);
#ifdef IUCLC
    tio->c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    tio->c_cflag |= CLOCAL | CREAD;
}

// Close a device whose set-up failed and drop its entry; returns -1.
static int failDevice(PortEntry* entry, int fd)
{
    close(fd);
    removePort(entry);
    return -1;
}

// Read, change and apply the line settings of an open device. Returns 0 or -1.
static int configureLine(int fd, const char* path, int speed, int dataBits, int stopBits,
                         const char* parity)
{
    termios tio{};
    if (tcgetattr(fd, &tio) < 0) {
        REPORT("err: openPort: could not tcgetattr on \"%s\": %s\n", path, std::strerror(errno));
        return -1;
    }
    // Stale bytes from before the open would be taken for answers.
    (void)tcflush(fd, TCIOFLUSH);
    speed_t code = B0;
    if (!speedCode(speed, &code)) {
        REPORT("err: openPort: port \"%s\" has bad speed=%d\n", path, speed);
        return -1;
    }
    // Both setters accept every code of the table, so they cannot fail here.
    (void)cfsetispeed(&tio, code);
    (void)cfsetospeed(&tio, code);
    if (setFraming(&tio, path, dataBits, stopBits, parity) < 0) return -1;
    setRaw(&tio);
    if (tcsetattr(fd, TCSANOW, &tio) < 0) {
        REPORT("err: openPort: tcsetattr failed on \"%s\": %s\n", path, std::strerror(errno));
        return -1;
    }
    return 0;
}

// The device path of openPort. Returns the descriptor, or 0 or -1 on failure.
static int openDevice(PortEntry* entry, const char* path, int* fdOut, int speed, int dataBits,
                      int stopBits, const char* parity)
{
    entry->isTcp = 0;
    // O_NONBLOCK keeps the open from waiting for carrier on a modem line.
    int fd = open(path, O_RDWR | O_NOCTTY | O_SYNC | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) fd = aboveZero(fd);
    if (fd < 0) {
        removePort(entry);
        REPORT("err: openPort: could not open \"%s\": %s\n", path, std::strerror(errno));
        return fd;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (configureLine(fd, path, speed, dataBits, stopBits, parity) < 0)
        return failDevice(entry, fd);
    entry->fd = fd;
    *fdOut = fd;
    return fd;
}

// ---- Send logs ----

// Close the send log a port has, if any, and mark it as having none.
static void dropSendLog(PortEntry* entry)
{
    if (entry->logFd != 0) close(entry->logFd);
    entry->logFd = 0;
}

// Open "NAME_SECONDS.log" for appending into fileName; returns its descriptor or -1.
static int createSendLog(const char* name, char* fileName, std::size_t size)
{
    long long now = static_cast<long long>(std::time(nullptr));
    int length = std::snprintf(fileName, size, "%s_%lld.log", name, now);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        REPORT("openLogFile: name '%s' is too long for a log file name of %zu bytes\n", name,
               size - 1);
        return -1;
    }
    int logFd = open(fileName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (logFd < 0) {
        REPORT("openLogFile: cannot create '%s' for writing:%s\n", fileName, std::strerror(errno));
        return -1;
    }
    if (logFd == 0) {
        // 0 marks "no send log"; move the file to a descriptor above it.
        int moved = fcntl(logFd, F_DUPFD_CLOEXEC, 1);
        int savedErrno = errno;
        close(logFd);
        logFd = moved;
        if (logFd < 0)
            REPORT("openLogFile: cannot create '%s' for writing:%s\n", fileName,
                   std::strerror(savedErrno));
    }
    return logFd;
}

int openLogFile(int fd, const char* name)
{
    PortEntry* entry = findPort(fd);
    if (entry == nullptr) {
        REPORT("err: openLogFile: no port has fd=%d\n", fd);
        return -1;
    }
    char fileName[256];
    int logFd = createSendLog(name, fileName, sizeof fileName);
    dropSendLog(entry);
    if (logFd < 0) return -1;
    std::printf("Opened log file '%s' for port fd=%d\n", fileName, fd);
    entry->logFd = logFd;
    return logFd;
}

int closeLogFile(int fd)
{
    PortEntry* entry = findPort(fd);
    if (entry == nullptr) {
        REPORT("err: closeLogFile: no port has fd=%d\n", fd);
        return -1;
    }
    if (entry->logFd == 0) {
        REPORT("err: closeLogFile: port fd=%d has no send log\n", fd);
        return -1;
    }
    int result = close(entry->logFd);
    entry->logFd = 0;
    return result;
}
