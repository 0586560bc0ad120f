// Fuzz target: arbitrary endpoint bytes through recvStr and, for 77-byte reads, all three reports.
#include "battery_status.h"
#include "serial.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

int DEBUG_LEVEL = 0;

// Count the lines of text, or -1 when it does not end with a line feed.
static int lineCount(const char* text, std::size_t size)
{
    if (size == 0 || text[size - 1] != '\n') return -1;
    int lines = 0;
    for (std::size_t i = 0; i < size; i++) lines += text[i] == '\n';
    return lines;
}

// Give the reports one answer, in memory, and check their shape.
static void reportInMemory(const char* answer, BatteryStatus* status)
{
    decodeStatus(answer, 77, status);
    char* console = nullptr;
    char* log = nullptr;
    std::size_t consoleSize = 0, logSize = 0;
    std::FILE* out = open_memstream(&console, &consoleSize);
    std::FILE* dataLog = open_memstream(&log, &logSize);
    printReport(out, status, 1796699894);
    writeDataLogLine(dataLog, status, 1796699894);
    std::fclose(out);
    std::fclose(dataLog);
    SyslogRecords records = syslogRecords(status);
    int commas = 0;
    for (std::size_t i = 0; i < logSize; i++) commas += log[i] == ',';
    if (lineCount(console, consoleSize) != 27 || lineCount(log, logSize) != 1 || commas != 7 ||
        records.currentAndGauge.find('\n') != std::string::npos)
        std::abort();
    std::free(console);
    std::free(log);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
    // The endpoint sends everything, then hangs up.
    if (write(pair[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    close(pair[1]);
    char buffer[80];
    BatteryStatus status{};
    for (int got = recvStr(pair[0], buffer, 80); got != 0; got = recvStr(pair[0], buffer, 80)) {
        if (got < 0 || got > 80) std::abort();
        if (got == 77) reportInMemory(buffer, &status);
    }
    close(pair[0]);
    return 0;
}
