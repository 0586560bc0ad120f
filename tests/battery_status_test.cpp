// Tests of status answer decoding and of the console, data log and system log reports.
#include "battery_status.h"
#include "sample_answers.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>

namespace {

const std::string& typical = answerA;

const long long reportTime = 1700000000;

BatteryStatus decoded(const std::string& answer, BatteryStatus status = {})
{
    decodeStatus(answer.data(), answer.size(), &status);
    return status;
}

// What a report function wrote to its stream.
std::string printed(const std::function<void(std::FILE*)>& report)
{
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&text, &size);
    report(stream);
    std::fclose(stream);
    std::string result(text, size);
    std::free(text);
    return result;
}

std::string consoleReport(const BatteryStatus& status)
{
    return printed([&](std::FILE* out) { printReport(out, &status, reportTime); });
}

int countOf(const std::string& text, const std::string& part)
{
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) count++;
    return count;
}

std::string dataLogLine(const BatteryStatus& status)
{
    return printed([&](std::FILE* log) { writeDataLogLine(log, &status, reportTime); });
}

TEST(BatteryStatus, TypicalAnswerGivesAllThreeReports)
{
    BatteryStatus status = decoded(typical);
    EXPECT_EQ(consoleReport(status),
              "time: 1700000000\n" + reportA);
    EXPECT_EQ(dataLogLine(status), "1700000000,85.00,-1.00,45, 5, 0,12,8000\n");
    SyslogRecords records = syslogRecords(&status);
    EXPECT_EQ(records.currentAndGauge, "QAV Battery Current & Gas Gauge: -1.00 85.00");
    EXPECT_EQ(records.humidity, "QAV Battery RH: 45");
}

TEST(BatteryStatus, AllZeroAnswer)
{
    BatteryStatus status = decoded(std::string(74, '0') + "000");
    std::string report = consoleReport(status);
    EXPECT_EQ(report.substr(0, report.find("Fan state")),
              "time: 1700000000\n"
              "gasGauge : 0.000000\n"
              "V1:0.000 V2:0.000 V3:0.000 V4:0.000\n"
              "V5:0.000 V6:0.000 V7:0.000 V8:0.000\n"
              "Current: 0.00\n"
              "Stack Voltage: 0.000000\n"
              "Temps(layer 8 to layer 1):  0  0  0  0  0  0  0  0\n"
              "Heatsink temp:  0\n"
              "relative Humidity: 0\n"
              "balance register:  0\n"
              "temp alert register:  0\n"
              "volt alert register:  0\n"
              "Battery Status Register:    0\n");
    EXPECT_EQ(dataLogLine(status), "1700000000,0.00,0.00,0, 0, 0, 0, 0\n");
    EXPECT_EQ(syslogRecords(&status).humidity, "QAV Battery RH:  0");
}

TEST(BatteryStatus, CurrentIsASigned16BitCount)
{
    struct Case {
        const char* field;
        const char* logLine;
    };
    const Case cases[] = {
        {"8000", "1700000000,85.00,-327.68,45, 5, 0,12,8000\n"},
        {"7FFF", "1700000000,85.00,327.67,45, 5, 0,12,8000\n"},
        {"FFFF", "1700000000,85.00,-0.01,45, 5, 0,12,8000\n"},
        {"0064", "1700000000,85.00,1.00,45, 5, 0,12,8000\n"},
        {"-001", "1700000000,85.00,-0.01,45, 5, 0,12,8000\n"},
        {"+001", "1700000000,85.00,0.01,45, 5, 0,12,8000\n"},
    };
    for (const Case& c : cases) {
        std::string answer = typical;
        answer.replace(36, 4, c.field);
        EXPECT_EQ(dataLogLine(decoded(answer)), c.logLine) << c.field;
    }
}

TEST(BatteryStatus, VoltagesAndStackVoltage)
{
    std::string answer = typical;
    answer.replace(4, 32, "0FA00FA00FA00FA00FA00FA00FA00FA0");
    std::string report = consoleReport(decoded(answer));
    EXPECT_NE(report.find("V1:4.000 V2:4.000 V3:4.000 V4:4.000\n"
                          "V5:4.000 V6:4.000 V7:4.000 V8:4.000\n"),
              std::string::npos);
    EXPECT_NE(report.find("Stack Voltage: 32.000000\n"), std::string::npos);
    answer.replace(4, 32, "0001000200030004000500060007FFFF");
    report = consoleReport(decoded(answer));
    EXPECT_NE(report.find("V1:0.001 V2:0.002 V3:0.003 V4:0.004\n"
                          "V5:0.005 V6:0.006 V7:0.007 V8:65.535\n"),
              std::string::npos);
    EXPECT_NE(report.find("Stack Voltage: 65.563000\n"), std::string::npos);
}

TEST(BatteryStatus, LetterCaseDoesNotMatter)
{
    std::string lower = typical;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_NE(lower, typical);
    EXPECT_EQ(consoleReport(decoded(lower)), "time: 1700000000\n" + reportA);
    EXPECT_EQ(dataLogLine(decoded(lower)), "1700000000,85.00,-1.00,45, 5, 0,12,8000\n");
}

TEST(BatteryStatus, StatusBitWords)
{
    std::string answer = typical;
    answer.replace(70, 4, "FFFF");
    std::string report = consoleReport(decoded(answer));
    EXPECT_EQ(report.substr(report.find("Battery Status Register")),
              "Battery Status Register: ffff\n"
              "Fan state: On\n"
              "Main Fuse: Fault\n"
              "Safe Operating Area: Fault\n"
              "Overcurrent: Fault\n"
              "Undervoltage: Fault\n"
              "Overvoltage: Fault\n"
              "Discharge Mode: On\n"
              "Charge Mode: On\n"
              "Discharge Transient: Fault\n"
              "Battery Cold Limit: Fault\n"
              "Heatsink Hot Limit: Fault\n"
              "Battery Hot Limit: Fault\n"
              "Battery Enable: On\n"
              "\n");
    answer.replace(70, 4, "0407"); // charge mode, and the three unreported bits
    report = consoleReport(decoded(answer));
    EXPECT_EQ(countOf(report, ": On\n"), 1);
    EXPECT_EQ(countOf(report, ": Fault\n"), 0);
    EXPECT_NE(report.find("Battery Status Register:  407\nFan state: Off\n"), std::string::npos);
    EXPECT_NE(report.find("Charge Mode: On\n"), std::string::npos);
}

TEST(BatteryStatus, AlertRegistersWarnWhenNotZero)
{
    std::string answer = typical;
    answer.replace(60, 10, "AB" "1234" "0000");
    std::string report = consoleReport(decoded(answer));
    EXPECT_NE(report.find("balance register: ab\n"
                          "WARNING: temp alert register: 1234\n"
                          "volt alert register:  0\n"),
              std::string::npos);
    EXPECT_EQ(dataLogLine(decoded(answer)), "1700000000,85.00,-1.00,45,ab,1234, 0,8000\n");
}

TEST(BatteryStatus, BadCharacterStopsTheCursorForGood)
{
    BatteryStatus previous = decoded(typical);
    const std::string malformed = "2710"
                                  "0FA00FA00FA00FA00FA00FA00FA00FA0"
                                  "0064"
                                  "1E1E1E1E1E1E1E1E"
                                  "20"
                                  "G1" // no number can start here
                                  "FF"
                                  "FFFF"
                                  "FFFF"
                                  "FFFF"
                                  "5A\n";
    BatteryStatus status = decoded(malformed, previous);
    EXPECT_EQ(status.gasGauge, 10000);
    EXPECT_EQ(status.cellVoltage[7], 4000);
    EXPECT_EQ(status.current, 100);
    EXPECT_EQ(status.temperature[7], 30);
    EXPECT_EQ(status.temperature[8], 32);
    // Humidity and every later field keep the previous answer's values.
    EXPECT_EQ(dataLogLine(status), "1700000000,100.00,1.00,45, 5, 0,12,8000\n");
}

TEST(BatteryStatus, SignWithoutDigitStopsTheCursor)
{
    std::string answer = typical;
    answer.replace(58, 2, "-G");
    BatteryStatus status = decoded(answer, decoded(std::string(74, '1') + "111"));
    EXPECT_EQ(status.humidity, 0x11);
    EXPECT_EQ(status.statusRegister, 0x1111);
    EXPECT_EQ(status.temperature[8], 31);
}

TEST(BatteryStatus, BlankIsSkippedAndBorrowsFromTheNextField)
{
    std::string answer = typical;
    answer.replace(36, 6, " 12345"); // current " 123", then layer 8 "45"
    BatteryStatus status = decoded(answer);
    EXPECT_EQ(status.current, 0x1234);
    EXPECT_EQ(status.temperature[0], 0x45); // the cursor moved on by four
    EXPECT_EQ(status.temperature[1], 0x17);
}

TEST(BatteryStatus, HexPrefixCountsTowardTheWidth)
{
    std::string answer = typical;
    answer.replace(0, 4, "0x1A");
    answer.replace(58, 2, "0X");
    BatteryStatus status = decoded(answer, decoded(typical));
    EXPECT_EQ(status.gasGauge, 0x1A);
    EXPECT_EQ(status.humidity, 0);
    EXPECT_EQ(status.balanceRegister, 5);
}

TEST(BatteryStatus, ZeroByteKeepsOnlyTheFieldStartingThere)
{
    std::string answer = typical;
    answer[40] = '\0'; // start of layer 8
    answer.replace(42, 2, "2A");
    BatteryStatus previous = decoded(std::string(74, '3') + "333");
    BatteryStatus status = decoded(answer, previous);
    EXPECT_EQ(status.current, -100 & 0xFFFF);
    EXPECT_EQ(status.temperature[0], 0x33); // scan met the end of the text
    EXPECT_EQ(status.temperature[1], 0x2A); // the cursor moved on past it
    EXPECT_EQ(status.statusRegister, 0x8000);

    answer = typical;
    answer[1] = '\0'; // "2" then the end: the gauge takes what is there
    EXPECT_EQ(decoded(answer).gasGauge, 2);
}

TEST(BatteryStatus, ShortAnswerKeepsTheFieldsItLacks)
{
    BatteryStatus previous = decoded(typical);
    BatteryStatus status = decoded("0001", previous);
    EXPECT_EQ(status.gasGauge, 1);
    EXPECT_EQ(status.cellVoltage[0], 3300);
    EXPECT_EQ(status.statusRegister, 0x8000);
    // Bytes past the answer's 77 are never looked at: blanks from the status register on
    // would let its scan run on into them.
    status = decoded(typical.substr(0, 70) + std::string(7, ' ') + "FFFF", previous);
    EXPECT_EQ(status.gasGauge, 0x2134);
    EXPECT_EQ(status.statusRegister, 0x8000); // the end of the text: kept
    // Nor bytes past the length given, however many follow.
    std::string ones = typical;
    ones.replace(62, 12, "111111111111");
    status = previous;
    decodeStatus(ones.data(), 66, &status);
    EXPECT_EQ(status.tempAlertRegister, 0x1111);
    EXPECT_EQ(status.voltAlertRegister, 0x12);
    EXPECT_EQ(status.statusRegister, 0x8000);
}

TEST(BatteryStatus, EchoDefusesTerminalControlBytes)
{
    auto echo = [](const std::string& answer) {
        return printed([&](std::FILE* out) { printResponse(out, answer.data(), answer.size()); });
    };
    EXPECT_EQ(echo(typical), "response is " + typical + "\n");
    // ESC, DEL and 0x80 to 0x9f are shown as hex; other bytes, line ends and
    // control bytes included, are echoed as they are.
    EXPECT_EQ(echo("A\x1b[2J\x7f\x80\x9b\x9f\xa0\xff\r\n\x01" "B"),
              "response is A\\x1B[2J\\x7F\\x80\\x9B\\x9F\xa0\xff\r\n\x01" "B\n");
    // The echo ends at the first zero byte, or at the length given.
    EXPECT_EQ(echo(std::string("12\0" "34", 5)), "response is 12\n");
    EXPECT_EQ(printed([](std::FILE* out) { printResponse(out, "123456", 3); }), "response is 123\n");
}

} // namespace
