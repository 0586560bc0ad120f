// battery_status: decoding of the battery's status answer and its three reports.
#ifndef QAV_BATTERY_STATUS_H
#define QAV_BATTERY_STATUS_H

#include <cstddef>
#include <cstdio>
#include <string>

/** The decoded fields of one status answer, as the controller sends them. */
struct BatteryStatus {
    int gasGauge;          ///< Gas gauge in hundredths.
    int cellVoltage[8];    ///< Layer voltages V1 to V8 in thousandths.
    int current;           ///< Battery current; its low 16 bits are signed hundredths.
    int temperature[9];    ///< Layers 8 down to 1, then the heatsink.
    int humidity;          ///< Relative humidity.
    int balanceRegister;   ///< Balance register.
    int tempAlertRegister; ///< Temperature alert register; non-zero is a warning.
    int voltAlertRegister; ///< Voltage alert register; non-zero is a warning.
    int statusRegister;    ///< Battery status register, 16 flag bits.
};

/** One reported bit of the status register. */
struct StatusBit {
    unsigned mask;     ///< The bit in the register.
    const char* name;  ///< Its name in machine-read outputs: "fan", "main_fuse", ... "battery_enable".
    const char* label; ///< Its label in the console report: "Fan state", "Main Fuse", ...
    bool isFault;      ///< true for the nine bits reported "Fault"/"Good" rather than "On"/"Off".
};

/** Number of reported status bits. */
constexpr std::size_t statusBitCount = 13;

/**
 * The reported bits of the status register, in register order (0x0008 up
 * to 0x8000); bits 0x0001, 0x0002 and 0x0004 carry nothing an operator needs.
 */
extern const StatusBit statusBits[statusBitCount];

/** Lowest and highest layer voltage of one answer. */
struct CellRange {
    int lowest;      ///< Lowest layer voltage in thousandths.
    int highest;     ///< Highest layer voltage in thousandths.
    int lowestCell;  ///< Its layer, 1 to 8 (the first of equals).
    int highestCell; ///< Its layer, 1 to 8 (the first of equals).
    int spread;      ///< highest - lowest, in thousandths.
};

/**
 * The battery current: the field's low 16 bits as signed hundredths.
 *
 * @param status Decoded answer. Must not be null.
 * @return Amperes, positive while charging.
 */
double currentAmperes(const BatteryStatus* status);

/**
 * @param status Decoded answer. Must not be null.
 * @return The stack voltage, the sum of the eight layer voltages, in volts.
 */
double stackVoltage(const BatteryStatus* status);

/**
 * @param status Decoded answer. Must not be null.
 * @return The gas gauge in percent (hundredths as sent, so above 100 when the field says so).
 */
double chargePercent(const BatteryStatus* status);

/**
 * @param status Decoded answer. Must not be null.
 * @return The lowest and highest layer voltages, their layers and their spread.
 */
CellRange cellRange(const BatteryStatus* status);

/**
 * Whether a status bit is set (On, or at Fault).
 *
 * @param status Decoded answer. Must not be null.
 * @param name   A name from statusBits; any other name is never set.
 */
bool statusBitSet(const BatteryStatus* status, const char* name);

/** The two system log texts of one answer. */
struct SyslogRecords {
    std::string currentAndGauge; ///< "QAV Battery Current & Gas Gauge: ..."
    std::string humidity;        ///< "QAV Battery RH: ..."
};

/**
 * Decode the 74 field characters of a status answer into @p status.
 *
 * Only the first 77 bytes of @p answer are looked at, and none past a
 * length of @p length; bytes after a zero byte still count, as they do in
 * the receive buffer the answer arrives in.
 *
 * Each field is scanned as a "%4x" or "%2x" conversion at a cursor. A field
 * that scans moves the cursor on by its width; a field at the end of the
 * text keeps its value and moves the cursor too; a field with no number
 * where one should begin keeps its value and leaves the cursor in place.
 *
 * @param answer Answer bytes. Must not be null.
 * @param length Number of bytes at @p answer (77 for an accepted answer).
 * @param status Fields to rewrite; start them at 0. Must not be null.
 */
void decodeStatus(const char* answer, std::size_t length, BatteryStatus* status);

/**
 * Echo an answer as "response is <answer>\n", up to its first zero byte.
 *
 * Bytes that begin terminal control sequences (ESC 0x1b, DEL 0x7f and 0x80
 * to 0x9f) print as \xHH with two upper-case hex digits, so a device cannot
 * drive the operator's terminal; every other byte prints as it is.
 *
 * @param out    Stream to print on. Must not be null.
 * @param answer Answer bytes. Must not be null.
 * @param length Number of bytes at @p answer; the echo stops there at the latest.
 */
void printResponse(std::FILE* out, const char* answer, std::size_t length);

/**
 * Print the labelled console report of one answer, ending with an empty line.
 *
 * @param out        Stream to print on. Must not be null.
 * @param status     Decoded answer. Must not be null.
 * @param reportTime Seconds since the epoch.
 */
void printReport(std::FILE* out, const BatteryStatus* status, long long reportTime);

/**
 * Format the eight-field data log line of one answer.
 *
 * @param status     Decoded answer. Must not be null.
 * @param reportTime Seconds since the epoch.
 * @return The line, with its line end.
 */
std::string dataLogLine(const BatteryStatus* status, long long reportTime);

/**
 * Append the eight-field data log line of one answer and flush it. A stream
 * on a file gets the line whole or not at all (see appendWhole()).
 *
 * @param log        Data log stream. Must not be null.
 * @param status     Decoded answer. Must not be null.
 * @param reportTime Seconds since the epoch.
 * @return 0, or the errno value of a failed write.
 */
int writeDataLogLine(std::FILE* log, const BatteryStatus* status, long long reportTime);

/**
 * Format the two system log records of one answer.
 *
 * @param status Decoded answer. Must not be null.
 * @return The two texts, in sending order.
 */
SyslogRecords syslogRecords(const BatteryStatus* status);

/**
 * Decode an accepted answer and give all three reports: the console report
 * on @p out, the data log line, and the two system log records at LOG_ERR.
 *
 * @param answer  Answer bytes. Must not be null.
 * @param length  Number of bytes at @p answer.
 * @param status  Fields of the previous answer, rewritten. Must not be null.
 * @param out     Console stream. Must not be null.
 * @param dataLog Data log stream. Must not be null.
 */
void reportAnswer(const char* answer, std::size_t length, BatteryStatus* status, std::FILE* out,
                  std::FILE* dataLog);

#endif
