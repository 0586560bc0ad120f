// Tests of the port library over TCP: opening, registry, sending, receiving, messages.
#include "capture.h"
#include "serial_fixture.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <thread>

int DEBUG_LEVEL = 0;

// How often the port library looked a name up; the executable is linked with
// --wrap=gethostbyname.
static int lookups = 0;

extern "C" hostent* __real_gethostbyname(const char* name);

extern "C" hostent* __wrap_gethostbyname(const char* name)
{
    lookups++;
    return __real_gethostbyname(name);
}

namespace {

using SerialTcp = SerialTest;

// Wait up to a second until fd has count bytes waiting to be read.
bool bytesWaiting(int fd, int count)
{
    for (int i = 0; i < 100; i++) {
        int waiting = 0;
        if (ioctl(fd, FIONREAD, &waiting) == 0 && waiting >= count) return true;
        usleep(10000);
    }
    return false;
}

std::string tcpAddress(int port)
{
    return "tcp:127.0.0.1:" + std::to_string(port);
}

// Open a TCP port to a listening socket; returns the port's descriptor.
int openLoopbackPortTo(int listener)
{
    sockaddr_in addr{};
    socklen_t size = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size);
    std::string address = tcpAddress(ntohs(addr.sin_port));
    int fd = 0;
    EXPECT_GT(openPort(address.c_str(), &fd, 9600, 8, 1, "none"), 0);
    return fd;
}

// Open a TCP port to a new loopback listener; returns the port's descriptor.
int openLoopbackPort(int* listener)
{
    int port = 0;
    *listener = loopbackSocket(&port);
    return openLoopbackPortTo(*listener);
}

TEST_F(SerialTcp, RoundTripOfRequestAndAnswer)
{
    int port = 0;
    int listener = loopbackSocket(&port);
    int fd = 0;
    std::string address = tcpAddress(port);
    int result = openPort(address.c_str(), &fd, 9600, 8, 1, "none");
    ASSERT_GT(result, 2);
    EXPECT_EQ(fd, result);
    ASSERT_NE(lastEntry(), nullptr);
    EXPECT_EQ(lastEntry()->fd, fd);
    EXPECT_EQ(lastEntry()->isTcp, 1);
    EXPECT_EQ(lastEntry()->logFd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC); // no program run later inherits it
    int peer = accept(listener, nullptr, nullptr);

    EXPECT_EQ(sendStr(fd, "@RQ\n"), 0);
    EXPECT_EQ(readBytes(peer, 4), "@RQ\n");
    const std::string answer(77, 'A');
    ASSERT_EQ(write(peer, answer.data(), answer.size()), 77);
    char buffer[80];
    std::memset(buffer, 'x', sizeof buffer);
    int got = 0;
    Captured io = capture([&] { got = recvStr(fd, buffer, 80); });
    EXPECT_EQ(got, 77);
    EXPECT_EQ(std::string(buffer), answer); // cleared past the answer
    EXPECT_EQ(io.out, "calling select\nselect returned 1\n");
    EXPECT_EQ(io.err, "");
    EXPECT_EQ(flushRecv(fd), 0);
    close(peer);
    close(listener);
}

TEST_F(SerialTcp, AddressFormsThatConnect)
{
    int port = 0;
    int listener = loopbackSocket(&port);
    const std::string p = std::to_string(port);
    const std::string forms[] = {
        "tcp:127.0.0.1:" + p,
        "tcp::127.0.0.1::" + p,                       // runs of colons are one separator
        "tcpx:127.0.0.1:" + p,                        // only "tcp" is compared
        "tcp:127.0.0.1:" + std::to_string(port + 65536), // low 16 bits of the port
        "tcp:127.0.0.1:" + p + ":extra",              // further fields are ignored
        "tcp:localhost:" + p,                         // a name is looked up
        "tcp:127.0.0.1: " + p + "junk",               // read the way atoi reads
    };
    for (const std::string& address : forms) {
        int fd = 0;
        lookups = 0;
        Captured io = capture([&] { openPort(address.c_str(), &fd, 9600, 8, 1, "none"); });
        // Only a server that does not begin with a digit is looked up by name.
        EXPECT_EQ(lookups, address.find("localhost") != std::string::npos ? 1 : 0) << address;
        EXPECT_GT(fd, 0) << address;
        EXPECT_EQ(io.err, "") << address;
        int peer = accept(listener, nullptr, nullptr);
        EXPECT_GE(peer, 0) << address;
        close(peer);
        closePort(fd);
    }
    close(listener);
}

TEST_F(SerialTcp, UpperCaseTcpIsADevicePath)
{
    int fd = 5;
    Captured io = capture([&] { EXPECT_EQ(openPort("TCP:127.0.0.1:1", &fd, 9600, 8, 1, "none"), -1); });
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: openPort: could not open \"TCP:127.0.0.1:1\": No such file or "
              "directory\n");
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(ports, nullptr);
}

TEST_F(SerialTcp, AddressWithMissingFieldsFailsWithoutConnecting)
{
    struct Case {
        const char* address;
        const char* message;
    };
    const Case cases[] = {
        {"tcp", "serial.cpp:N:open of protocol 'tcp' on server '' on port '0' failed\n"},
        {"tcp:", "serial.cpp:N:open of protocol 'tcp' on server '' on port '0' failed\n"},
        {"tcp:127.0.0.1", "serial.cpp:N:open of protocol 'tcp' on server '127.0.0.1' on port '0' failed\n"},
        {"tcp::127.0.0.1:", "serial.cpp:N:open of protocol 'tcp' on server '127.0.0.1' on port '0' failed\n"},
    };
    for (const Case& c : cases) {
        int fd = 7;
        int result = 0;
        int savedErrno = 0;
        Captured io = capture([&] {
            errno = 0;
            result = openPort(c.address, &fd, 9600, 8, 1, "none");
            savedErrno = errno;
        });
        EXPECT_EQ(result, -1) << c.address;
        EXPECT_EQ(savedErrno, EINVAL) << c.address; // for a caller's perror
        EXPECT_EQ(fd, 0) << c.address;
        EXPECT_EQ(withoutLineNumbers(io.err), c.message);
        EXPECT_EQ(ports, nullptr) << c.address;
    }
}

TEST_F(SerialTcp, RefusedConnectionLeavesNothingBehind)
{
    int first = 0;
    int listener = loopbackSocket(&first);
    std::string good = tcpAddress(first);
    int kept = openPort(good.c_str(), &first, 9600, 8, 1, "none");
    ASSERT_GT(kept, 0);

    int port = 0;
    int unused = loopbackSocket(&port, false); // bound but not listening: refused
    std::string address = tcpAddress(port);
    int fd = 9;
    int before = openFdCount();
    int result = 0;
    int savedErrno = 0;
    Captured io = capture([&] {
        result = openPort(address.c_str(), &fd, 9600, 8, 1, "none");
        savedErrno = errno;
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(savedErrno, ECONNREFUSED); // left for the caller's perror
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:open of protocol 'tcp' on server '127.0.0.1' on port '" +
                  std::to_string(port) + "' failed\n");
    EXPECT_EQ(io.out, "");
    EXPECT_EQ(registryFds(), std::vector<int>{kept});
    EXPECT_EQ(openFdCount(), before); // the refused socket was closed
    EXPECT_EQ(connectAtPort("tcp", "127.0.0.1", port), -1);
    EXPECT_EQ(openFdCount(), before);
    close(unused);
    close(listener);
}

TEST_F(SerialTcp, FailedFirstOpenLeavesAnEmptyRegistry)
{
    int fd = 0;
    capture([&] { openPort("tcp:127.0.0.1", &fd, 9600, 8, 1, "none"); });
    EXPECT_EQ(ports, nullptr);
    int port = 0;
    int listener = loopbackSocket(&port);
    std::string address = tcpAddress(port);
    int opened = openPort(address.c_str(), &fd, 9600, 8, 1, "none");
    EXPECT_EQ(registryFds(), std::vector<int>{opened});
    close(listener);
}

TEST_F(SerialTcp, RegistryHoldsExactlyTheOpenPorts)
{
    int port = 0;
    int listener = loopbackSocket(&port);
    std::string address = tcpAddress(port);
    int a = 0, b = 0, c = 0, d = 0;
    openPort(address.c_str(), &a, 9600, 8, 1, "none");
    openPort(address.c_str(), &b, 9600, 8, 1, "none");
    openPort(address.c_str(), &c, 9600, 8, 1, "none");
    EXPECT_EQ(registryFds(), (std::vector<int>{a, b, c}));
    EXPECT_EQ(closePort(b), 0); // from the middle
    EXPECT_EQ(registryFds(), (std::vector<int>{a, c}));
    EXPECT_EQ(closePort(b), -1); // already closed
    EXPECT_EQ(errno, EBADF);
    openPort(address.c_str(), &d, 9600, 8, 1, "none");
    EXPECT_EQ(d, b); // the lowest free number comes back, as a port of its own
    EXPECT_EQ(registryFds(), (std::vector<int>{a, c, b}));
    EXPECT_EQ(closePort(a), 0); // the first
    EXPECT_EQ(closePort(b), 0); // the last
    EXPECT_EQ(registryFds(), std::vector<int>{c});
    EXPECT_EQ(closePort(c), 0);
    EXPECT_EQ(ports, nullptr);

    // A descriptor the registry does not know is closed all the same.
    int unknown = dup(listener);
    EXPECT_EQ(closePort(unknown), 0);
    EXPECT_EQ(fcntl(unknown, F_GETFD), -1);
    close(listener);
}

TEST_F(SerialTcp, OpenCloseCyclesDoNotGrowTheRegistry)
{
    int listener = -1;
    int kept = openLoopbackPort(&listener);
    int fds = openFdCount();
    for (int i = 0; i < 10000; i++) {
        int fd = openLoopbackPortTo(listener);
        ASSERT_GT(fd, 0);
        close(accept(listener, nullptr, nullptr));
        ASSERT_EQ(closePort(fd), 0);
    }
    EXPECT_EQ(registryFds(), std::vector<int>{kept});
    EXPECT_EQ(openFdCount(), fds);
    closePort(kept);
    close(listener);
}

TEST_F(SerialTcp, DescriptorZeroIsNeverAPort)
{
    int port = 0;
    int listener = loopbackSocket(&port);
    int savedStdin = dup(0);
    int fd = -1;
    bool zeroOpen = true;
    close(0);
    fd = openLoopbackPortTo(listener);
    zeroOpen = fcntl(0, F_GETFD) != -1;
    dup2(savedStdin, 0);
    close(savedStdin);
    EXPECT_GT(fd, 0);
    EXPECT_FALSE(zeroOpen);
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(registryFds(), std::vector<int>{fd});
    closePort(fd);
    close(listener);
}

TEST_F(SerialTcp, SilentPeerGivesNoBytesReady)
{
    int listener = -1;
    int fd = openLoopbackPort(&listener);
    char buffer[80] = "old";
    int got = -5;
    Captured io = capture([&] { got = recvStr(fd, buffer, 80); });
    EXPECT_EQ(got, 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(io.out, "calling select\nno bytes ready\n");
    EXPECT_EQ(io.err, "");
    close(listener);
}

TEST_F(SerialTcp, PeerCloseReadsZeroBytes)
{
    int listener = -1;
    int fd = openLoopbackPort(&listener);
    close(accept(listener, nullptr, nullptr));
    char buffer[80];
    int got = -5;
    Captured io = capture([&] { got = recvStr(fd, buffer, 80); });
    EXPECT_EQ(got, 0);
    EXPECT_EQ(io.out, "calling select\nselect returned 1\n");
    EXPECT_EQ(withoutLineNumbers(io.err), "serial.cpp:N:err: recvStr failed with no bytes\n");
    close(listener);
}

TEST_F(SerialTcp, ReadFillingTheWholeLengthLeavesNoTerminator)
{
    int listener = -1;
    int fd = openLoopbackPort(&listener);
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_EQ(write(peer, "0123456789", 10), 10);
    char buffer[8] = {};
    int got = 0;
    capture([&] { got = recvStr(fd, buffer, 4); });
    EXPECT_EQ(got, 4);
    EXPECT_EQ(std::string(buffer, 8), std::string("0123\0\0\0\0", 8));
    close(peer);
    close(listener);
}

TEST_F(SerialTcp, BadReceiveArgumentsAreRefused)
{
    char buffer[4] = "abc";
    int highFd = 0, zeroLength = 0, negativeFd = 0;
    Captured io = capture([&] {
        highFd = recvStr(FD_SETSIZE, buffer, 4);
        zeroLength = recvStr(1, buffer, 0);
        negativeFd = recvStr(-1, buffer, 4);
    });
    EXPECT_EQ(highFd, -1);
    EXPECT_EQ(zeroLength, -1);
    EXPECT_EQ(negativeFd, -1);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(io.out, "");
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: recvStr fd=1024 is outside 0 to 1023\n"
              "serial.cpp:N:err: recvStr length=0 is below 1\n"
              "serial.cpp:N:err: recvStr fd=-1 is outside 0 to 1023\n");
}

TEST_F(SerialTcp, SendsToNoPortAreRefusedUnwritten)
{
    int result = 0;
    Captured io = capture([&] { result = sendStr(-1, "@RQ\n"); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(withoutLineNumbers(io.err), "serial.cpp:N:err: sendStr: no port has fd=-1\n");

    // A descriptor that works but belongs to no port receives nothing.
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK), 0);
    io = capture([&] { result = sendStr(pipeFds[1], "@RQ\n"); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: sendStr: no port has fd=" + std::to_string(pipeFds[1]) + "\n");
    char byte = 0;
    EXPECT_EQ(read(pipeFds[0], &byte, 1), -1); // empty
    io = capture([&] { result = flushRecv(pipeFds[0]); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: flushRecv: no port has fd=" + std::to_string(pipeFds[0]) + "\n");
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST_F(SerialTcp, ShortWriteReportsItsCount)
{
    int listener = -1;
    int fd = openLoopbackPort(&listener);
    // The port's descriptor now leads into a non-blocking pipe with room for
    // 4096 bytes, so a longer text is written in part.
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK), 0);
    ASSERT_EQ(fcntl(pipeFds[1], F_SETPIPE_SZ, 4096), 4096);
    ASSERT_EQ(dup2(pipeFds[1], fd), fd);
    std::string text(5000, 'x');
    int result = 0;
    Captured io = capture([&] { result = sendStr(fd, text.c_str()); });
    EXPECT_EQ(result, 4096);
    EXPECT_EQ(withoutLineNumbers(io.err).rfind("serial.cpp:N:err: sendStr wrote 4096 of 5000 bytes: ", 0), 0U)
        << io.err;
    for (int end : pipeFds) close(end);
    closePort(fd);
    close(listener);
}

TEST_F(SerialTcp, FlushDiscardsOnlyWhatIsWaiting)
{
    int listener = -1;
    int fd = openLoopbackPort(&listener);
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_EQ(write(peer, "stale tail of an answer", 23), 23);
    ASSERT_TRUE(bytesWaiting(fd, 23));
    Captured io = capture([&] { EXPECT_EQ(flushRecv(fd), 0); });
    EXPECT_EQ(io.err, "");
    // Nothing waits now, and a flush returns at once rather than wait for more.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(flushRecv(fd), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    ASSERT_EQ(write(peer, "fresh", 5), 5);
    char buffer[80];
    capture([&] { EXPECT_EQ(recvStr(fd, buffer, 80), 5); });
    EXPECT_STREQ(buffer, "fresh");

    // The end of the stream is left for the next read.
    ASSERT_EQ(write(peer, "late", 4), 4);
    close(peer);
    ASSERT_TRUE(bytesWaiting(fd, 4));
    EXPECT_EQ(flushRecv(fd), 0);
    io = capture([&] { EXPECT_EQ(recvStr(fd, buffer, 80), 0); });
    EXPECT_EQ(withoutLineNumbers(io.err), "serial.cpp:N:err: recvStr failed with no bytes\n");
    closePort(fd);
    close(listener);
}

TEST_F(SerialTcp, FailedSelectAndReadAreReported)
{
    // A descriptor in range but not open: select fails.
    char buffer[80];
    int got = 0;
    Captured io = capture([&] {
        int closedFd = open("/dev/null", O_RDONLY);
        close(closedFd);
        got = recvStr(closedFd, buffer, 80);
    });
    EXPECT_EQ(got, -1);
    EXPECT_EQ(io.out, "calling select\n");
    EXPECT_EQ(withoutLineNumbers(io.err), "select returned error: : Bad file descriptor\n"
                                          "serial.cpp:N:err: recvStr select failed -1: Bad file descriptor\n");

    // A peer that resets the connection: select reports input, the read fails.
    int listener = -1;
    int fd = openLoopbackPort(&listener);
    int peer = accept(listener, nullptr, nullptr);
    linger abort{1, 0};
    ASSERT_EQ(setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    close(peer);
    io = capture([&] { got = recvStr(fd, buffer, 80); });
    EXPECT_EQ(got, -1);
    EXPECT_EQ(io.out, "calling select\nselect returned 1\n");
    EXPECT_EQ(withoutLineNumbers(io.err), "serial.cpp:N:err: recvStr failed with Connection reset by peer");
    closePort(fd);
    close(listener);
}

TEST_F(SerialTcp, ReportsFromTwoThreadsNeverInterleave)
{
    // Each report reaches stderr in one write, so concurrent reports stay whole lines.
    Captured io = capture([&] {
        auto report = [] {
            for (int i = 0; i < 2000; i++) closeLogFile(-7);
        };
        std::thread other(report);
        report();
        other.join();
    });
    std::vector<std::string> lines;
    std::istringstream in(withoutLineNumbers(io.err));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    EXPECT_EQ(lines.size(), 4000U);
    for (const std::string& line : lines)
        ASSERT_EQ(line, "serial.cpp:N:err: closeLogFile: no port has fd=-7");
}

TEST_F(SerialTcp, EmptyTextIsSentAsNothing)
{
    int listener = -1;
    int fd = openLoopbackPort(&listener);
    Captured io = capture([&] { EXPECT_EQ(sendStr(fd, ""), 0); });
    EXPECT_EQ(io.err, "");
    close(listener);
}

TEST_F(SerialTcp, DebugLevelsAddTheirLines)
{
    int port = 0;
    int listener = loopbackSocket(&port);
    std::string address = tcpAddress(port);
    int fd = 0;
    char buffer[80];
    DEBUG_LEVEL = 5;
    Captured io = capture([&] {
        openPort(address.c_str(), &fd, 9600, 8, 1, "none");
        sendStr(fd, "@RQ\n");
        recvStr(fd, buffer, 80);
    });
    EXPECT_EQ(io.err, "server string is " + address + "\nsd is " + std::to_string(fd) +
                          "\nsendStr: Sending 4 chars to serial port " + std::to_string(fd) +
                          ":@RQ\n\nrecvStr: Starting while select loop...\n");
    DEBUG_LEVEL = 3;
    io = capture([&] { sendStr(fd, "@RQ\n"); });
    EXPECT_EQ(io.err, "");
    DEBUG_LEVEL = 4;
    io = capture([&] { sendStr(fd, "@RQ\n"); });
    EXPECT_EQ(io.err, "sendStr: Sending 4 chars to serial port " + std::to_string(fd) + ":@RQ\n\n");
    close(listener);
}

} // namespace
