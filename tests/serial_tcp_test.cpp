// Tests of the port library over TCP: opening, registry, sending, receiving, messages.
#include "capture.h"
#include "serial_fixture.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/select.h>

int DEBUG_LEVEL = 0;

namespace {

using SerialTcp = SerialTest;

std::string tcpAddress(int port)
{
    return "tcp:127.0.0.1:" + std::to_string(port);
}

// Open a TCP port to a new loopback listener; returns the port's descriptor.
int openLoopbackPort(int* listener)
{
    int port = 0;
    *listener = loopbackSocket(&port);
    std::string address = tcpAddress(port);
    int fd = 0;
    EXPECT_GT(openPort(address.c_str(), &fd, 9600, 8, 1, "none"), 0);
    return fd;
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
        Captured io = capture([&] { openPort(address.c_str(), &fd, 9600, 8, 1, "none"); });
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

TEST_F(SerialTcp, RegistryKeepsOpeningOrderAndClosedEntries)
{
    int port = 0;
    int listener = loopbackSocket(&port);
    std::string address = tcpAddress(port);
    int a = 0, b = 0, c = 0;
    openPort(address.c_str(), &a, 9600, 8, 1, "none");
    openPort(address.c_str(), &b, 9600, 8, 1, "none");
    EXPECT_EQ(registryFds(), (std::vector<int>{a, b}));
    EXPECT_EQ(closePort(a), 0);
    EXPECT_EQ(closePort(a), -1); // already closed
    openPort(address.c_str(), &c, 9600, 8, 1, "none");
    EXPECT_EQ(c, a); // the lowest free number comes back
    EXPECT_EQ(registryFds(), (std::vector<int>{a, b, a}));
    close(listener);
}

TEST_F(SerialTcp, ReleasedPortsLeaveTheRegistry)
{
    int port = 0;
    int listener = loopbackSocket(&port);
    std::string address = tcpAddress(port);
    int a = 0, b = 0;
    openPort(address.c_str(), &a, 9600, 8, 1, "none");
    openPort(address.c_str(), &b, 9600, 8, 1, "none");
    // A daemon reconnecting for months keeps one entry, not one per connection.
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(releasePort(a), 0);
        openPort(address.c_str(), &a, 9600, 8, 1, "none");
    }
    EXPECT_EQ(registryFds(), (std::vector<int>{b, a}));
    EXPECT_EQ(releasePort(a), 0);
    EXPECT_EQ(releasePort(b), 0);
    EXPECT_EQ(ports, nullptr);
    EXPECT_EQ(releasePort(b), -1); // already released
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

TEST_F(SerialTcp, FailedSendsReportTheirCount)
{
    int result = 0;
    Captured io = capture([&] { result = sendStr(-1, "@RQ\n"); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: sendStr wrote -1 of 4 bytes: Bad file descriptor\n");

    // A descriptor that works but belongs to no port cannot be drained.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    io = capture([&] { result = sendStr(pipeFds[1], "@RQ\n"); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: flushSend: no port has fd=" + std::to_string(pipeFds[1]) +
                  "\nserial.cpp:N:err: sendStr tcdrain failed: Bad file descriptor\n");
    io = capture([&] { result = flushRecv(pipeFds[0]); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: flushRecv: no port has fd=" + std::to_string(pipeFds[0]) + "\n");
    close(pipeFds[0]);
    close(pipeFds[1]);
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
