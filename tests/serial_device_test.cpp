// Tests of the port library on serial devices, using real pseudo-terminals.
#include "capture.h"
#include "serial_fixture.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <fstream>
#include <iterator>

// What the port library last asked tcsetattr() to apply, and a failure to give
// it on demand; the test executable is linked with --wrap=tcsetattr.
static termios lastRequest{};
static int failTcsetattrWith = 0;

extern "C" int __real_tcsetattr(int fd, int actions, const termios* tio);

extern "C" int __wrap_tcsetattr(int fd, int actions, const termios* tio)
{
    lastRequest = *tio;
    if (failTcsetattrWith != 0) {
        errno = failTcsetattrWith;
        return -1;
    }
    // A pseudo-terminal carries neither character size nor parity, and some
    // kernels refuse them outright, so only the request shows those.
    termios forwarded = *tio;
    forwarded.c_cflag = (forwarded.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD)) | CS8;
    return __real_tcsetattr(fd, actions, &forwarded);
}

// How often the port library drained a line; the executable is linked with --wrap=tcdrain.
static int drains = 0;

extern "C" int __real_tcdrain(int fd);

extern "C" int __wrap_tcdrain(int fd)
{
    drains++;
    return __real_tcdrain(fd);
}

namespace {

// A pseudo-terminal pair for one test: the master is the far end of the line.
class SerialDevice : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        path = ptsname(master);
    }
    void TearDown() override
    {
        failTcsetattrWith = 0;
        close(master);
    }

    // Line settings of the device side as the kernel holds them.
    termios settings() const
    {
        termios tio{};
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_EQ(tcgetattr(fd, &tio), 0);
        close(fd);
        return tio;
    }

    int openDevice(int speed, int dataBits, int stopBits, const char* parity)
    {
        int fd = -1;
        int result = openPort(path.c_str(), &fd, speed, dataBits, stopBits, parity);
        EXPECT_EQ(result, fd);
        return fd;
    }

    int master = -1;
    std::string path;
};

TEST_F(SerialDevice, OpensARawLine)
{
    int fd = openDevice(9600, 8, 1, "none");
    ASSERT_GT(fd, 2);
    ASSERT_NE(lastEntry(), nullptr);
    EXPECT_EQ(lastEntry()->isTcp, 0);
    EXPECT_EQ(lastEntry()->fd, fd);
    termios tio = settings();
    EXPECT_EQ(cfgetispeed(&tio), B9600);
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (CSTOPB | PARENB), 0U);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    // Raw both ways: no translation, no software flow control, no signals from the line.
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0U);
    EXPECT_EQ(tio.c_iflag & (IGNCR | ICRNL | INLCR | IXON | IXOFF | IXANY | ISTRIP | BRKINT | PARMRK), 0U);
    EXPECT_EQ(tio.c_oflag & OPOST, 0U);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 10);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0); // reads wait for VTIME
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);      // no program run later inherits it
    closePort(fd);
}

TEST_F(SerialDevice, DataBitsStopBitsAndParity)
{
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    for (int bits = 5; bits <= 8; bits++) {
        closePort(openDevice(9600, bits, 1, "none"));
        EXPECT_EQ(lastRequest.c_cflag & CSIZE, sizes[bits - 5]) << bits;
    }
    for (int stop : {0, 1, 3, 2}) {
        closePort(openDevice(9600, 8, stop, "none"));
        EXPECT_EQ((settings().c_cflag & CSTOPB) != 0, stop == 2) << stop;
    }
    const tcflag_t parityBits = PARENB | PARODD;
    closePort(openDevice(9600, 8, 1, "Even"));
    EXPECT_EQ(lastRequest.c_cflag & parityBits, static_cast<tcflag_t>(PARENB));
    closePort(openDevice(9600, 8, 1, "oDd"));
    EXPECT_EQ(lastRequest.c_cflag & parityBits, parityBits);
    closePort(openDevice(9600, 8, 1, "NONE"));
    EXPECT_EQ(lastRequest.c_cflag & PARENB, 0U);
}

TEST_F(SerialDevice, SpeedInBaudOrAsACode)
{
    struct Case {
        int speed;
        speed_t code;
    };
    const Case cases[] = {{115200, B115200}, {static_cast<int>(B19200), B19200}, {50, B50},
                          {4000000, B4000000}, {static_cast<int>(B57600), B57600}};
    for (const Case& c : cases) {
        closePort(openDevice(c.speed, 8, 1, "none"));
        termios tio = settings();
        EXPECT_EQ(cfgetispeed(&tio), c.code) << c.speed;
        EXPECT_EQ(cfgetospeed(&tio), c.code) << c.speed;
    }
}

TEST_F(SerialDevice, HardwareFlowControlIsKeptAsTheDeviceHasIt)
{
    for (bool on : {true, false}) {
        termios before = settings();
        if (on) before.c_cflag |= CRTSCTS;
        else before.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        int side = open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_EQ(tcsetattr(side, TCSANOW, &before), 0);
        close(side);
        closePort(openDevice(9600, 8, 1, "none"));
        EXPECT_EQ((settings().c_cflag & CRTSCTS) != 0, on);
    }
}

TEST_F(SerialDevice, BadSettingsFailAndLeaveNothingOpen)
{
    struct Case {
        int speed, dataBits;
        const char* parity;
        const char* message; // after the path
    };
    const Case cases[] = {
        {9600, 9, "mark", "\" has bad databits=9\n"},
        {9600, 4, "none", "\" has bad databits=4\n"},
        {9600, 8, "mark", "\" has bad parity=mark\n"},
        {9600, 8, "", "\" has bad parity=\n"},
        {12345, 8, "none", "\" has bad speed=12345\n"},
        {0, 8, "none", "\" has bad speed=0\n"},
        {-1, 8, "none", "\" has bad speed=-1\n"},
    };
    int fd = 0;
    capture([&] { openPort("tcp:127.0.0.1", &fd, 0, 0, 0, ""); }); // registry stays empty
    int before = openFdCount();
    for (const Case& c : cases) {
        fd = 42;
        int result = 0;
        Captured io = capture([&] { result = openPort(path.c_str(), &fd, c.speed, c.dataBits, 1, c.parity); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(fd, 0);
        EXPECT_EQ(withoutLineNumbers(io.err), "serial.cpp:N:err: openPort: port \"" + path + c.message);
        EXPECT_EQ(ports, nullptr);
        EXPECT_EQ(openFdCount(), before);
    }
}

TEST_F(SerialDevice, MissingDeviceFails)
{
    int keep = openDevice(9600, 8, 1, "none");
    int fd = 3;
    int result = 0;
    int before = openFdCount();
    Captured io = capture([&] { result = openPort("/dev/no-such-tty", &fd, 9600, 8, 1, "none"); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: openPort: could not open \"/dev/no-such-tty\": No such file or "
              "directory\n");
    EXPECT_EQ(registryFds(), std::vector<int>{keep});
    EXPECT_EQ(openFdCount(), before);
}

TEST_F(SerialDevice, NonTerminalFailsAtTcgetattr)
{
    int fd = 3;
    int before = openFdCount();
    Captured io = capture([&] { EXPECT_EQ(openPort("/dev/null", &fd, 9600, 8, 1, "none"), -1); });
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: openPort: could not tcgetattr on \"/dev/null\": Inappropriate "
              "ioctl for device\n");
    EXPECT_EQ(ports, nullptr);
    EXPECT_EQ(openFdCount(), before);
}

TEST_F(SerialDevice, RefusedSettingsAreReported)
{
    failTcsetattrWith = EIO;
    int fd = 3;
    int before = openFdCount();
    Captured io = capture([&] { EXPECT_EQ(openPort(path.c_str(), &fd, 9600, 8, 1, "none"), -1); });
    EXPECT_EQ(fd, 0);
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: openPort: tcsetattr failed on \"" + path + "\": Input/output error\n");
    EXPECT_EQ(ports, nullptr);
    EXPECT_EQ(openFdCount(), before);
}

TEST_F(SerialDevice, DescriptorZeroIsMovedAbove)
{
    int savedStdin = dup(0);
    int fd = 3;
    int result = 9;
    bool zeroOpen = true;
    Captured io = capture([&] {
        close(0);
        result = openPort(path.c_str(), &fd, 9600, 8, 1, "none");
        zeroOpen = fcntl(0, F_GETFD) != -1;
        dup2(savedStdin, 0);
    });
    close(savedStdin);
    EXPECT_GT(result, 0);
    EXPECT_EQ(fd, result);
    EXPECT_FALSE(zeroOpen);
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(registryFds(), std::vector<int>{fd});
    EXPECT_EQ(io.err, "");
    closePort(fd);
}

// A scratch directory for send logs, removed with everything in it.
struct ScratchDir {
    ScratchDir()
    {
        char pattern[] = "/tmp/serial_reuse_XXXXXX";
        path = mkdtemp(pattern);
    }
    ~ScratchDir() { EXPECT_EQ(std::system(("rm -rf " + path).c_str()), 0); }
    // Every send log in the directory whose name starts with name, as one text.
    std::string logsOf(const std::string& name) const
    {
        std::string text;
        DIR* dir = opendir(path.c_str());
        for (dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
            if (std::string(entry->d_name).rfind(name + "_", 0) != 0) continue;
            std::ifstream in(path + "/" + entry->d_name);
            text += std::string(std::istreambuf_iterator<char>(in), {});
        }
        closedir(dir);
        return text;
    }
    std::string path;
};

TEST_F(SerialDevice, ReusedNumberBelongsToTheNewPortOnly)
{
    ScratchDir dir;
    int port = 0;
    int listener = loopbackSocket(&port);
    std::string address = "tcp:127.0.0.1:" + std::to_string(port);
    // A serial line closed, then a TCP port with its number: no drain on the
    // socket, and the closed line's send log records nothing.
    int line = openDevice(9600, 8, 1, "none");
    capture([&] { openLogFile(line, (dir.path + "/line").c_str()); });
    ASSERT_EQ(closePort(line), 0);
    int tcp = 0;
    ASSERT_GT(openPort(address.c_str(), &tcp, 9600, 8, 1, "none"), 0);
    ASSERT_EQ(tcp, line);
    Captured io = capture([&] { EXPECT_EQ(sendStr(tcp, "@RQ\n"), 0); });
    EXPECT_EQ(io.err, "");
    int peer = accept(listener, nullptr, nullptr);
    EXPECT_EQ(readBytes(peer, 4), "@RQ\n");
    EXPECT_EQ(dir.logsOf("line"), "");

    // That TCP port closed, then a serial line with its number: the line is
    // drained, and the closed port's send log records nothing.
    capture([&] { openLogFile(tcp, (dir.path + "/tcp").c_str()); });
    close(peer);
    ASSERT_EQ(closePort(tcp), 0);
    line = openDevice(9600, 8, 1, "none");
    ASSERT_EQ(line, tcp);
    drains = 0;
    io = capture([&] { EXPECT_EQ(sendStr(line, "@RQ\n"), 0); });
    EXPECT_EQ(io.err, "");
    EXPECT_EQ(drains, 1);
    EXPECT_EQ(dir.logsOf("tcp"), "");
    EXPECT_EQ(registryFds(), std::vector<int>{line});
    closePort(line);
    close(listener);
}

// Wait until fd has bytes to read, up to a second.
bool inputArrives(int fd)
{
    pollfd waiting{fd, POLLIN, 0};
    return poll(&waiting, 1, 1000) == 1;
}

TEST_F(SerialDevice, RoundTripAndDiscardedInput)
{
    int fd = openDevice(9600, 8, 1, "none");
    Captured io = capture([&] { EXPECT_EQ(sendStr(fd, "@RQ\n"), 0); });
    EXPECT_EQ(io.err, "");
    ASSERT_TRUE(inputArrives(master));
    char request[16] = {};
    ssize_t n = read(master, request, sizeof request);
    // A raw line: the far end sees the request's bytes exactly, no CR added.
    EXPECT_EQ(std::string(request, static_cast<std::size_t>(n)), "@RQ\n");

    const std::string answer = std::string(74, '0') + "7F\n";
    ASSERT_EQ(write(master, answer.data(), answer.size()), 77);
    ASSERT_TRUE(inputArrives(fd));
    char buffer[80];
    int got = 0;
    io = capture([&] { got = recvStr(fd, buffer, 80); });
    EXPECT_EQ(got, 77);
    EXPECT_EQ(std::string(buffer), answer);
    EXPECT_EQ(io.out, "calling select\nselect returned 1\n");

    ASSERT_EQ(write(master, "stale", 5), 5);
    ASSERT_TRUE(inputArrives(fd));
    EXPECT_EQ(flushRecv(fd), 0);
    int pending = -1;
    ASSERT_EQ(ioctl(fd, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 0);
    closePort(fd);
}

TEST_F(SerialDevice, SilentLineGivesNoBytesReady)
{
    int fd = openDevice(9600, 8, 1, "none");
    char buffer[80];
    int got = -1;
    Captured io = capture([&] { got = recvStr(fd, buffer, 80); });
    EXPECT_EQ(got, 0);
    EXPECT_EQ(io.out, "calling select\nno bytes ready\n");
    closePort(fd);
}

TEST_F(SerialDevice, FailedDrainAndFlushAreReported)
{
    int fd = openDevice(9600, 8, 1, "none");
    // The entry outlives closePort(); here its number comes to name a non-terminal.
    int null = open("/dev/null", O_RDWR);
    ASSERT_EQ(dup2(null, fd), fd);
    close(null);
    int flushed = 0, sent = 0;
    Captured io = capture([&] {
        flushed = flushRecv(fd);
        sent = sendStr(fd, "@RQ\n");
    });
    EXPECT_EQ(flushed, -1);
    EXPECT_EQ(sent, -1);
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: flushRecv failed: Inappropriate ioctl for device\n"
              "serial.cpp:N:err: flushSend: tcdrain failed: Inappropriate ioctl for device\n"
              "serial.cpp:N:err: sendStr tcdrain failed: Inappropriate ioctl for device\n");
    closePort(fd);
}

} // namespace
