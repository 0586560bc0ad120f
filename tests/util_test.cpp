// Tests of the millisecond sleep and the hex parser.
#include "util.h"

#include <chrono>
#include <csignal>
#include <sys/time.h>
#include <gtest/gtest.h>

namespace {

struct HexCase {
    const char* text;
    int value;
};

TEST(Util, AhextoiReadsLeadingHexDigits)
{
    const HexCase cases[] = {
        {"1aF", 431},         {"ff", 255},           {"", 0},          {"12g4", 18},
        {"0x1A", 0},          {" 1A", 0},            {"-1", 0},        {"+1", 0},
        {"7FFFFFFF", 2147483647}, {"80000000", -2147483647 - 1}, {"FFFFFFFF", -1},
        {"123456789", 0x23456789}, {"ABCDEF", 0xABCDEF}, {"abcdef", 0xABCDEF},
        {"9\n", 9},           {"G", 0},
    };
    for (const HexCase& c : cases) EXPECT_EQ(ahextoi(c.text), c.value) << '"' << c.text << '"';
}

TEST(Util, AhextoiStopsAtHighBytes)
{
    // Bytes from 0x80 up end the scan, even where their low bits spell a digit.
    EXPECT_EQ(ahextoi("1\xB1" "2"), 1);
    EXPECT_EQ(ahextoi("\xC1" "A"), 0);
    EXPECT_EQ(ahextoi("A\xFF"), 10);
}

// Milliseconds that a call of msleep(ms) took on the steady clock.
long long timedSleep(int ms)
{
    auto start = std::chrono::steady_clock::now();
    msleep(ms);
    auto took = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
}

TEST(Util, MsleepSleepsTheGivenTime)
{
    EXPECT_LT(timedSleep(0), 5);
    EXPECT_LT(timedSleep(-20), 5);
    long long ten = timedSleep(10);
    EXPECT_GE(ten, 10);
    EXPECT_LT(ten, 200);
}

TEST(Util, MsleepOfASecondOrMoreSleepsInFull)
{
    long long took = timedSleep(1500);
    EXPECT_GE(took, 1500);
    EXPECT_LT(took, 2500);
}

// Does nothing, so that SIGALRM only interrupts the sleep.
void ignoreAlarm(int) {}

TEST(Util, MsleepSleepsInFullThroughSignals)
{
    struct sigaction action{};
    action.sa_handler = ignoreAlarm; // no SA_RESTART: each alarm cuts the sleep short
    struct sigaction before{};
    ASSERT_EQ(sigaction(SIGALRM, &action, &before), 0);
    itimerval every20ms{{0, 20000}, {0, 20000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every20ms, nullptr), 0);
    long long took = timedSleep(300);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &before, nullptr);
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 1000);
}

} // namespace
