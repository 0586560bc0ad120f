// battery_status: decoding of the battery's status answer and its three reports.
#include "battery_status.h"

#include "util.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <numeric>
#include <syslog.h>

// The answer to "@RQ\n": 77 bytes, fixed-width hex fields without separators.
//
//            1         2         3         4         5         6         7
//  01234567890123456789012345678901234567890123456789012345678901234567890123456
//  GGGG11112222333344445555666677778888CCCC8877665544332211HHRRBBTTTTVVVVSSSSxxx
//
//  field               chars  positions  meaning
//  GGGG   gasGauge         4  0-3        gas gauge, hundredths
//  1..8   cellVoltage[8]   4  4-35       layer voltages V1..V8, thousandths
//  CCCC   current          4  36-39      signed 16-bit current, hundredths
//  88..11 temperature[0-7] 2  40-55      layer 8 down to layer 1
//  HH     temperature[8]   2  56-57      heatsink
//  RR     humidity         2  58-59      relative humidity
//  BB     balanceRegister  2  60-61      balance register
//  TTTT   tempAlertReg.    4  62-65      temperature alerts
//  VVVV   voltAlertReg.    4  66-69      voltage alerts
//  SSSS   statusRegister   4  70-73      status flags (table below)
//  xxx                     3  74-76      not interpreted
static const std::size_t answerLength = 77;

// Scan one field at *cursor as "%4x" or "%2x": a number moves the cursor a whole
// field and sets the field; the end of the text moves it but keeps the field;
// no number where one should begin keeps both.
static void scanField(const char** cursor, int width, int* field)
{
    // A field of hexadecimal digits only, as every good answer has, reads the same by hand;
    // anything else (blanks, signs, "0x", the end) takes the formatted scan's own rules.
    unsigned value = 0;
    int digits = 0;
    while (digits < width && std::isxdigit(static_cast<unsigned char>((*cursor)[digits])) != 0) {
        char c = (*cursor)[digits++];
        value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    if (digits == width) {
        *field = static_cast<int>(value);
        *cursor += width;
        return;
    }
    value = 0;
    int got = std::sscanf(*cursor, width == 4 ? "%4x" : "%2x", &value);
    if (got == 0) return;
    if (got == 1) *field = static_cast<int>(value);
    *cursor += width;
}

void decodeStatus(const char* answer, std::size_t length, BatteryStatus* status)
{
    // A private copy ends in a zero byte however the answer looks, so no scan
    // runs past it; fields never take the cursor beyond position 74.
    char text[answerLength + 1] = {};
    std::memcpy(text, answer, length < answerLength ? length : answerLength);
    const char* cursor = text;
    scanField(&cursor, 4, &status->gasGauge);
    for (int& voltage : status->cellVoltage) scanField(&cursor, 4, &voltage);
    scanField(&cursor, 4, &status->current);
    for (int& temperature : status->temperature) scanField(&cursor, 2, &temperature);
    scanField(&cursor, 2, &status->humidity);
    scanField(&cursor, 2, &status->balanceRegister);
    scanField(&cursor, 4, &status->tempAlertRegister);
    scanField(&cursor, 4, &status->voltAlertRegister);
    scanField(&cursor, 4, &status->statusRegister);
}

double currentAmperes(const BatteryStatus* status)
{
    return static_cast<std::int16_t>(status->current & 0xFFFF) / 100.0;
}

double chargePercent(const BatteryStatus* status)
{
    return status->gasGauge / 100.0;
}

// A layer voltage in volts.
static double volts(int thousandths)
{
    return thousandths / 1000.0;
}

double stackVoltage(const BatteryStatus* status)
{
    long long sum = std::accumulate(std::begin(status->cellVoltage), std::end(status->cellVoltage), 0LL);
    return static_cast<double>(sum) / 1000.0;
}

CellRange cellRange(const BatteryStatus* status)
{
    const int* v = status->cellVoltage;
    CellRange range{v[0], v[0], 1, 1, 0};
    for (int layer = 2; layer <= 8; layer++) {
        int value = v[layer - 1];
        if (value < range.lowest) {
            range.lowest = value;
            range.lowestCell = layer;
        }
        if (value > range.highest) {
            range.highest = value;
            range.highestCell = layer;
        }
    }
    range.spread = range.highest - range.lowest;
    return range;
}

const StatusBit statusBits[statusBitCount] = {
    {0x0008, "fan", "Fan state", false},
    {0x0010, "main_fuse", "Main Fuse", true},
    {0x0020, "safe_operating_area", "Safe Operating Area", true},
    {0x0040, "overcurrent", "Overcurrent", true},
    {0x0080, "undervoltage", "Undervoltage", true},
    {0x0100, "overvoltage", "Overvoltage", true},
    {0x0200, "discharge_mode", "Discharge Mode", false},
    {0x0400, "charge_mode", "Charge Mode", false},
    {0x0800, "discharge_transient", "Discharge Transient", true},
    {0x1000, "battery_cold_limit", "Battery Cold Limit", true},
    {0x2000, "heatsink_hot_limit", "Heatsink Hot Limit", true},
    {0x4000, "battery_hot_limit", "Battery Hot Limit", true},
    {0x8000, "battery_enable", "Battery Enable", false},
};

bool statusBitSet(const BatteryStatus* status, const char* name)
{
    for (const StatusBit& bit : statusBits)
        if (std::strcmp(bit.name, name) == 0) return (static_cast<unsigned>(status->statusRegister) & bit.mask) != 0;
    return false;
}

// Print an alert register, with "WARNING: " in front when any alert is raised.
static void printAlert(std::FILE* out, const char* format, int value)
{
    if (value != 0) std::fputs("WARNING: ", out);
    std::fprintf(out, format, static_cast<unsigned>(value));
}

// Print one line per reported status bit with its word.
static void printStatusBits(std::FILE* out, int statusRegister)
{
    for (const StatusBit& bit : statusBits) {
        bool set = (static_cast<unsigned>(statusRegister) & bit.mask) != 0;
        const char* word = bit.isFault ? (set ? "Fault" : "Good") : (set ? "On" : "Off");
        std::fprintf(out, "%s: %s\n", bit.label, word);
    }
}

void printReport(std::FILE* out, const BatteryStatus* status, long long reportTime)
{
    const int* v = status->cellVoltage;
    const int* t = status->temperature;
    std::fprintf(out, "time: %lld\n", reportTime);
    std::fprintf(out, "gasGauge : %f\n", chargePercent(status));
    std::fprintf(out, "V1:%1.3f V2:%1.3f V3:%1.3f V4:%1.3f\n", volts(v[0]), volts(v[1]),
                 volts(v[2]), volts(v[3]));
    std::fprintf(out, "V5:%1.3f V6:%1.3f V7:%1.3f V8:%1.3f\n", volts(v[4]), volts(v[5]),
                 volts(v[6]), volts(v[7]));
    std::fprintf(out, "Current: %.2f\n", currentAmperes(status));
    std::fprintf(out, "Stack Voltage: %3f\n", stackVoltage(status));
    std::fprintf(out, "Temps(layer 8 to layer 1): %2d %2d %2d %2d %2d %2d %2d %2d\n", t[0], t[1],
                 t[2], t[3], t[4], t[5], t[6], t[7]);
    std::fprintf(out, "Heatsink temp: %2d\n", t[8]);
    std::fprintf(out, "relative Humidity: %d\n", status->humidity);
    std::fprintf(out, "balance register: %2x\n", static_cast<unsigned>(status->balanceRegister));
    printAlert(out, "temp alert register: %2x\n", status->tempAlertRegister);
    printAlert(out, "volt alert register: %2x\n", status->voltAlertRegister);
    std::fprintf(out, "Battery Status Register: %4x\n",
                 static_cast<unsigned>(status->statusRegister));
    printStatusBits(out, status->statusRegister);
    std::fputs("\n", out);
}

// printf into a std::string of whatever length the text needs; short texts are
// formatted once, into a buffer on the stack.
__attribute__((format(printf, 1, 2))) static std::string formatText(const char* format, ...)
{
    char buffer[128];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::string text;
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof buffer) {
        text.assign(buffer, static_cast<std::size_t>(length));
    } else if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.pop_back();
    }
    va_end(again);
    return text;
}

std::string dataLogLine(const BatteryStatus* status, long long reportTime)
{
    return formatText("%lld,%4.2f,%.2f,%d,%2x,%2x,%2x,%2x\n", reportTime, chargePercent(status),
                      currentAmperes(status), status->humidity,
                      static_cast<unsigned>(status->balanceRegister),
                      static_cast<unsigned>(status->tempAlertRegister),
                      static_cast<unsigned>(status->voltAlertRegister),
                      static_cast<unsigned>(status->statusRegister));
}

int writeDataLogLine(std::FILE* log, const BatteryStatus* status, long long reportTime)
{
    std::string line = dataLogLine(status, reportTime);
    int fd = fileno(log);
    // A file gets the line whole or not at all, so a full disk never leaves half
    // a line for the next one to be glued to; every answer reaches it at once.
    if (fd >= 0 && std::fflush(log) == 0) return appendWhole(fd, line.data(), line.size());
    std::fwrite(line.data(), 1, line.size(), log);
    return std::fflush(log) == 0 ? 0 : errno;
}

SyslogRecords syslogRecords(const BatteryStatus* status)
{
    return {formatText("QAV Battery Current & Gas Gauge: %.2f %4.2f", currentAmperes(status),
                       chargePercent(status)),
            formatText("QAV Battery RH: %2d", status->humidity)};
}

// True for a byte that starts a terminal control sequence.
static bool startsControlSequence(unsigned char byte)
{
    return byte == 0x1b || byte == 0x7f || (byte >= 0x80 && byte <= 0x9f);
}

void printResponse(std::FILE* out, const char* answer, std::size_t length)
{
    std::fputs("response is ", out);
    for (std::size_t i = 0; i < length && answer[i] != '\0'; i++) {
        auto byte = static_cast<unsigned char>(answer[i]);
        if (startsControlSequence(byte)) std::fprintf(out, "\\x%02X", byte);
        else std::fputc(byte, out);
    }
    std::fputc('\n', out);
}

void reportAnswer(const char* answer, std::size_t length, BatteryStatus* status, std::FILE* out,
                  std::FILE* dataLog)
{
    decodeStatus(answer, length, status);
    long long reportTime = static_cast<long long>(std::time(nullptr));
    printReport(out, status, reportTime);
    writeDataLogLine(dataLog, status, reportTime);
    SyslogRecords records = syslogRecords(status);
    syslog(LOG_ERR, "%s", records.currentAndGauge.c_str());
    syslog(LOG_ERR, "%s", records.humidity.c_str());
}
