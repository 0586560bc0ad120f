// Tests of the per-port send logs.
#include "capture.h"
#include "must_run.h"
#include "serial_fixture.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

int DEBUG_LEVEL = 0;

namespace {

// CTest runs these tests under libfaketime with the clock standing at this second
// (FAKETIME_FMT=%s FAKETIME=1796731200), so every record and file name is known.
const long long fixedTime = 1796731200;
const std::string fixedSeconds = std::to_string(fixedTime);

// A connected TCP port and a scratch directory for its send logs.
class SerialLog : public SerialTest {
protected:
    void SetUp() override
    {
        if (std::time(nullptr) != fixedTime) {
            const char* why = "the send log tests need the clock held at 1796731200 by libfaketime, as CTest "
                              "runs them";
            SKIP_OR_FAIL_UNDER_CI(why);
        }
        SerialTest::SetUp();
        char pattern[] = "/tmp/serial_log_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        int port = 0;
        listener = loopbackSocket(&port);
        std::string address = "tcp:127.0.0.1:" + std::to_string(port);
        ASSERT_GT(openPort(address.c_str(), &fd, 9600, 8, 1, "none"), 0);
        peer = accept(listener, nullptr, nullptr);
    }
    void TearDown() override
    {
        closePort(fd);
        close(peer);
        close(listener);
        std::string command = "rm -rf " + dir;
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    // Open the send log dir/name; returns the file's path as printed, or "" on failure.
    std::string openLog(const std::string& name)
    {
        std::string base = dir + "/" + name;
        int logFd = 0;
        Captured io = capture([&] { logFd = openLogFile(fd, base.c_str()); });
        if (logFd <= 0) return "";
        std::string file = base + "_" + fixedSeconds + ".log";
        EXPECT_EQ(io.out, "Opened log file '" + file + "' for port fd=" + std::to_string(fd) + "\n");
        return file;
    }

    int fd = 0, listener = -1, peer = -1;
    std::string dir;
};

std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Send text and return the send record it must leave: "S<seconds>: <text>".
std::string sendAndExpect(int fd, const std::string& text)
{
    EXPECT_EQ(sendStr(fd, text.c_str()), 0);
    return "S" + fixedSeconds + ": " + text;
}

TEST_F(SerialLog, RecordsEverySuccessfulSend)
{
    std::string file = openLog("port1");
    ASSERT_NE(file, "");
    EXPECT_GT(lastEntry()->logFd, 0);
    EXPECT_EQ(fcntl(lastEntry()->logFd, F_GETFD), FD_CLOEXEC);
    std::string expected = sendAndExpect(fd, "@RQ\n");
    expected += sendAndExpect(fd, "");
    expected += sendAndExpect(fd, "no line end");
    EXPECT_EQ(fileText(file), expected);
    struct stat info{};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST_F(SerialLog, NothingIsRecordedAfterAFailedSendOrAClose)
{
    std::string file = openLog("port1");
    std::string expected = sendAndExpect(fd, "@RQ\n");
    int logFd = lastEntry()->logFd;
    EXPECT_EQ(closeLogFile(fd), 0);
    EXPECT_EQ(lastEntry()->logFd, 0);
    EXPECT_EQ(fcntl(logFd, F_GETFD), -1); // really closed
    sendAndExpect(fd, "@RQ\n");
    int result = 0;
    Captured io = capture([&] { result = closeLogFile(fd); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(withoutLineNumbers(io.err),
              "serial.cpp:N:err: closeLogFile: port fd=" + std::to_string(fd) + " has no send log\n");
    EXPECT_NE(fcntl(0, F_GETFD), -1); // descriptor 0 untouched

    EXPECT_EQ(fileText(file), expected);

    std::string second = openLog("port2");
    shutdown(fd, SHUT_WR);
    // SIGPIPE ignored for this send only, so that it fails with EPIPE.
    struct sigaction ignore{}, before{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &before), 0);
    capture([&] { EXPECT_EQ(sendStr(fd, "@RQ\n"), -1); });
    ASSERT_EQ(sigaction(SIGPIPE, &before, nullptr), 0);
    EXPECT_EQ(fileText(second), "");
}

TEST_F(SerialLog, ExistingFileGainsRecordsAtItsEnd)
{
    std::ofstream(dir + "/port1_" + fixedSeconds + ".log") << "old record\n";
    std::string file = openLog("port1");
    ASSERT_NE(file, "");
    std::string expected = "old record\n" + sendAndExpect(fd, "@RQ\n");
    EXPECT_EQ(fileText(file), expected);
}

TEST_F(SerialLog, ReopeningClosesTheReplacedLog)
{
    std::string first = openLog("first");
    int firstFd = lastEntry()->logFd;
    int before = openFdCount();
    std::string second = openLog("second");
    EXPECT_EQ(openFdCount(), before);
    EXPECT_EQ(fcntl(firstFd, F_GETFD), -1);
    std::string expected = sendAndExpect(fd, "@RQ\n");
    EXPECT_EQ(fileText(first), "");
    EXPECT_EQ(fileText(second), expected);
}

TEST_F(SerialLog, UncreatableLogIsReportedAndDropped)
{
    openLog("port1");
    int oldFd = lastEntry()->logFd;
    std::string base = dir + "/missing/port1";
    int result = 0;
    Captured io = capture([&] { result = openLogFile(fd, base.c_str()); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(withoutLineNumbers(io.err), "serial.cpp:N:openLogFile: cannot create '" + base + "_" + fixedSeconds +
                                              ".log' for writing:No such file or directory\n");
    EXPECT_EQ(lastEntry()->logFd, 0);
    EXPECT_EQ(fcntl(oldFd, F_GETFD), -1);
    capture([&] { EXPECT_EQ(sendStr(fd, "@RQ\n"), 0); });
    EXPECT_EQ(readBytes(peer, 4), "@RQ\n");
}

TEST_F(SerialLog, OverlongNameIsRefused)
{
    std::string name(240, 'n');
    std::string base = dir + "/" + name;
    int result = 0;
    Captured io = capture([&] { result = openLogFile(fd, base.c_str()); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(withoutLineNumbers(io.err), "serial.cpp:N:openLogFile: name '" + base +
                                              "' is too long for a log file name of 255 bytes\n");
    EXPECT_EQ(lastEntry()->logFd, 0);
    std::string listing = "test -z \"$(ls -A " + dir + ")\"";
    EXPECT_EQ(std::system(listing.c_str()), 0) << "a file was created";
}

TEST_F(SerialLog, UnknownDescriptorIsRefused)
{
    int opened = 0, closed = 0;
    Captured io = capture([&] {
        opened = openLogFile(9999, "port1");
        closed = closeLogFile(9999);
    });
    EXPECT_EQ(opened, -1);
    EXPECT_EQ(closed, -1);
    EXPECT_EQ(withoutLineNumbers(io.err), "serial.cpp:N:err: openLogFile: no port has fd=9999\n"
                                          "serial.cpp:N:err: closeLogFile: no port has fd=9999\n");
}

TEST_F(SerialLog, LongTextIsRecordedWhole)
{
    std::string file = openLog("long");
    std::string text(64 * 1024, 'x');
    text.back() = '\n';
    std::string expected = sendAndExpect(fd, text);
    EXPECT_EQ(readBytes(peer, text.size()), text);
    EXPECT_EQ(fileText(file), expected);
}

} // namespace
