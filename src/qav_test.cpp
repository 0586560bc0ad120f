// qav_test: polls the battery controller every five seconds and reports its status.
#include "battery_status.h"
#include "serial.h"
#include "util.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

#ifndef BATTERY_HOST
#define BATTERY_HOST "127.0.0.1"
#endif

int DEBUG_LEVEL = 0;

// The controller's network serial endpoint; the line settings play no part over TCP.
static const char* const portAddress = "tcp:" BATTERY_HOST ":10001";
static const char* const statusRequest = "@RQ\n";
static const int answerLength = 77;

// Create "<start seconds>qav.log" for appending; exits with 1 when it cannot.
static std::FILE* openDataLog()
{
    std::string name = std::to_string(static_cast<long long>(std::time(nullptr))) + "qav.log";
    std::FILE* dataLog = std::fopen(name.c_str(), "ae");
    if (dataLog == nullptr) {
        std::fprintf(stderr, "qav_test: cannot create data log \"%s\": %s\n", name.c_str(),
                     std::strerror(errno));
        std::exit(1);
    }
    return dataLog;
}

// Connect to the battery; exits with 255 when the endpoint cannot be opened.
static int openBattery()
{
    int fd = 0;
    if (openPort(portAddress, &fd, 9600, 8, 1, "none") <= 0) {
        std::perror("unable to open connection to battery:");
        std::exit(-1);
    }
    return fd;
}

// Start up (data log, then the connection) and poll for ever; exits only during start-up.
int main()
{
    openStandardDescriptors();
    std::FILE* dataLog = openDataLog();
    usleep(500000);
    int fd = openBattery();
    char answer[80];
    BatteryStatus status{};
    for (;;) {
        sleep(5);
        // Whatever came after the last read (the rest of a split or late answer)
        // would join this cycle's answer; only bytes sent after the request count.
        flushRecv(fd);
        sendStr(fd, statusRequest);
        int got = recvStr(fd, answer, static_cast<int>(sizeof answer));
        if (got == answerLength) {
            printResponse(stdout, answer, static_cast<std::size_t>(got));
            reportAnswer(answer, static_cast<std::size_t>(got), &status, stdout, dataLog);
            usleep(500000);
        }
        // A report is whole on standard output once its cycle ends, even in a file.
        std::fflush(stdout);
    }
}
