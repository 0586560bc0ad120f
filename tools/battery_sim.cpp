// battery_sim: a battery controller that answers "@RQ\n" over TCP or a pseudo-terminal.
#include "battery_model.h"
#include "util.h"
#include "qav_version.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <climits>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

// What to serve and which faults to show, from the command line.
struct Options {
    std::string host = "127.0.0.1";
    int port = 10001;
    bool serial = false;
    std::string replayFile;
    long length = -1;   // cut or pad answers to this many bytes; -1 keeps 77
    int splitMs = -1;   // pause between the two halves of an answer; -1 sends it whole
    bool silent = false;
    long closeAfter = 0; // answers per connection; 0 for no limit
    bool reset = false;
    unsigned seed = 1;
    long alarmFrom = 0;      // first answer (from 1) carrying the alarm; 0 for none
    long alarmUntil = 0;     // last answer carrying it; 0 for all after alarmFrom
    unsigned tempAlert = 0;  // bits set in the temperature alert register during the alarm
    unsigned voltAlert = 0;  // bits set in the voltage alert register during the alarm
    unsigned faultBits = 0;  // bits set in the status register during the alarm
    std::string recordFile;
    double capacity = 0;     // ampere-hours; above 0 plays the battery by a profile
    std::string profile = defaultProfile;
    double startCharge = 90; // percent
    double speed = 1;        // simulated seconds per real second
    double resistance = 0;   // milliohms of each cell; 0 keeps the model's own
    long weakCell = 0;       // 1 to 8; 0 for none
    double weakFactor = 0;   // the weak cell's resistance over the others'; 0 when not given
    double fade = 0;         // percent of the capacity lost per 100 equivalent full cycles
    long cycles = 0;         // equivalent full cycles the battery starts with
    std::string ageing;      // the first of the options above given, for the refusal without --capacity
};

// The simulated battery between two answers.
struct Battery {
    int gauge = 8500;    // hundredths of a percent of charge
    int current = 1250;  // hundredths of an ampere; positive while charging
    int tick = 0;
    int humidity = 45;   // percent; drifts slowly
    unsigned noise = 1;
    bool modelled = false; // played by a profile, so the two fields below hold
    int cellBase[8] = {};  // millivolts of each cell before noise
    unsigned modeBits = 0; // the charge or discharge mode bit
};

static const char* const usageText =
    "usage: battery_sim [options]\n"
    "Simulates the battery controller: every \"@RQ\\n\" it reads is answered with a\n"
    "77-byte status answer (74 hex field characters, two hex digits of a checksum\n"
    "and a line feed) from a battery that charges and discharges in turns.\n"
    "\n"
    "  --host ADDR        IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N           TCP port to listen on (default 10001; 0 takes a free one)\n"
    "  --serial           serve on a new pseudo-terminal instead of TCP and print the\n"
    "                     path of its device side; point a device path at it\n"
    "  --replay FILE      answer with the lines of FILE in turn, from the start again\n"
    "                     after the last; \\xHH in a line stands for any byte, \\\\ for\n"
    "                     a backslash; the line feed ending a line is not sent\n"
    "  --length N         cut or pad (with '0') every answer to N bytes; 0 sends\n"
    "                     nothing\n"
    "  --split MS         send every answer in two writes, MS milliseconds apart\n"
    "  --silent           read requests but never answer\n"
    "  --close-after N    close the connection after N answers, then wait for the\n"
    "                     next one\n"
    "  --reset            with --close-after, reset the connection instead\n"
    "  --seed N           seed of the simulated battery's noise (default 1)\n"
    "  --temp-alert HEX   during the alarm, set these bits of the temperature alert\n"
    "                     register\n"
    "  --volt-alert HEX   during the alarm, set these bits of the voltage alert\n"
    "                     register\n"
    "  --fault HEX        during the alarm, set these bits of the status register\n"
    "  --alarm-from N     the alarm starts with the Nth answer, counted from 1 over\n"
    "                     all connections (default 1 when an alarm bit is given)\n"
    "  --alarm-until N    the alarm ends after the Nth answer (default: never)\n"
    "  --record FILE      append every answer sent to FILE, one a line, escaped as\n"
    "                     --replay reads them\n"
    "  --capacity AH      play a battery of AH ampere-hours by a profile: the gas\n"
    "                     gauge follows the counted charge, the mode bits the\n"
    "                     current, and the cells sag with charge and load\n"
    "  --profile STEPS    with --capacity, what the battery does, repeated: steps\n"
    "                     SECONDS:AMPERES separated by commas, positive charging\n"
    "                     (mains on), negative a load (an outage); the charger stops\n"
    "                     at full and the load at empty (default \"300:+20, 600:-20,\n"
    "                     300:-30, 900:+20\")\n"
    "  --profile-file FILE  the profile from FILE, steps separated by blanks or\n"
    "                     lines; # starts a comment\n"
    "  --start-charge PERCENT  with --capacity, the charge at the start (default 90)\n"
    "  --speed N          with --capacity, play N simulated seconds per second\n"
    "                     (default 1)\n"
    "  --resistance MILLIOHMS  with --capacity, each cell's internal resistance,\n"
    "                     above 0 to 100: the cell sags by it times the current\n"
    "                     (default 4, so 4 mV per ampere); the stack's is their sum\n"
    "  --weak-cell N      with --capacity, cell N (1 to 8) has --weak-factor times\n"
    "                     the others' resistance\n"
    "  --weak-factor F    with --weak-cell, the weak cell's resistance over the\n"
    "                     others', 1 to 10 (default 2)\n"
    "  --fade PERCENT     with --capacity, percent of AH lost per 100 equivalent full\n"
    "                     cycles (ampere-hours discharged over AH, counted as it\n"
    "                     plays), 0 to 100 (default 0); it keeps at least 1 % of AH\n"
    "  --cycles N         with --capacity, start N equivalent full cycles old, the\n"
    "                     capacity faded by them (0 to 100000, default 0); the start\n"
    "                     charge is a share of what is left\n"
    "  --help             show this text\n"
    "  --version          show the version and licence\n"
    "\n"
    "It reports on stderr where it serves, every connection, every request line (as\n"
    "it came, escaped) and every answer.\n";

// Next pseudo-random number in 0 to range-1, from the battery's own sequence.
static int noise(Battery* battery, int range)
{
    battery->noise = battery->noise * 1103515245U + 12345U;
    return static_cast<int>((battery->noise >> 16) % static_cast<unsigned>(range));
}

// Move the battery on by one answer: charge for 40 answers, then discharge for 40.
static void stepBattery(Battery* battery)
{
    battery->tick++;
    bool charging = (battery->tick / 40) % 2 == 0;
    battery->current = charging ? 1250 + noise(battery, 50) : -(875 + noise(battery, 50));
    battery->gauge += battery->current / 250;
    if (battery->gauge > 10000) battery->gauge = 10000;
    if (battery->gauge < 500) battery->gauge = 500;
    battery->humidity += noise(battery, 3) - 1;
    if (battery->humidity < 30) battery->humidity = 30;
    if (battery->humidity > 60) battery->humidity = 60;
}

// Play the battery by its profile up to now: the model's gauge, current, cells and mode.
static void stepPhysical(Battery* battery, BatteryModel* model, double seconds)
{
    advanceModel(model, seconds);
    ModelAnswer now = modelAnswer(*model, &battery->noise);
    battery->gauge = now.gauge;
    battery->current = now.current;
    std::copy(std::begin(now.cellMillivolts), std::end(now.cellMillivolts), battery->cellBase);
    battery->modelled = true;
    battery->modeBits = now.modeBits;
    battery->humidity = std::min(60, std::max(30, battery->humidity + noise(battery, 3) - 1));
}

// Status register: battery enabled, charge or discharge mode, fan when the heatsink is warm.
static unsigned statusBits(const Battery* battery, int heatsink)
{
    unsigned status = 0x8000;
    if (battery->modelled) status |= battery->modeBits;
    else status |= battery->current >= 0 ? 0x0400U : 0x0200U;
    if (heatsink > 35) status |= 0x0008U;
    return status;
}

// Bits an answer raises on top of what the battery shows.
struct Alarm {
    unsigned tempAlert = 0;
    unsigned voltAlert = 0;
    unsigned faultBits = 0;
};

// A 77-byte answer describing the battery as it is now, with alarm's bits raised.
static std::string makeAnswer(Battery* battery, const Alarm& alarm)
{
    char text[96];
    int n = std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(battery->gauge));
    unsigned balance = 0, voltAlert = 0;
    // Cells sit between 3.2 V empty and 4.2 V full, within 10 mV of each other.
    int common = 3200 + battery->gauge * 98 / 1000;
    for (int cell = 0; cell < 8; cell++) {
        int base = battery->modelled ? battery->cellBase[cell] : common;
        // Kept to the field's four hex digits, however far a load pulls a cell.
        int mv = std::clamp(base + noise(battery, 21) - 10, 0, 0xFFFF);
        if (mv > 4150) voltAlert |= 1U << cell;
        if (mv > base + 5) balance |= 1U << cell;
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%04X",
                           static_cast<unsigned>(mv));
    }
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%04X",
                       static_cast<unsigned>(battery->current) & 0xFFFFU);
    for (int layer = 0; layer < 8; layer++)
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%02X",
                           static_cast<unsigned>(22 + noise(battery, 6)));
    int heatsink = 30 + noise(battery, 10);
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n),
                       "%02X%02X%02X%04X%04X%04X", static_cast<unsigned>(heatsink),
                       static_cast<unsigned>(battery->humidity), balance, alarm.tempAlert,
                       voltAlert | alarm.voltAlert, statusBits(battery, heatsink) | alarm.faultBits);
    unsigned sum = 0;
    for (int i = 0; i < n; i++) sum += static_cast<unsigned char>(text[i]);
    std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%02X\n", sum & 0xFFU);
    return text;
}

// Decode \xHH and \\ escapes of a replay line.
static std::string unescape(const std::string& line)
{
    std::string bytes;
    for (std::size_t i = 0; i < line.size(); i++) {
        if (line[i] == '\\' && i + 3 < line.size() && line[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(line[i + 2])) != 0 &&
            std::isxdigit(static_cast<unsigned char>(line[i + 3])) != 0) {
            bytes += static_cast<char>(std::strtol(line.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '\\') {
            bytes += '\\';
            i++;
        } else {
            bytes += line[i];
        }
    }
    return bytes;
}

// The answers of a replay file, one a line; exits when the file cannot be read.
static std::vector<std::string> loadReplay(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        std::fprintf(stderr, "battery_sim: cannot read \"%s\": %s\n", path.c_str(),
                     std::strerror(errno));
        std::exit(2);
    }
    std::vector<std::string> answers;
    std::string line;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        answers.push_back(unescape(line));
        line.clear();
    }
    if (!line.empty()) answers.push_back(unescape(line));
    std::fclose(file);
    if (answers.empty()) {
        std::fprintf(stderr, "battery_sim: \"%s\" holds no answers\n", path.c_str());
        std::exit(2);
    }
    return answers;
}

// Write all of data, whatever the descriptor takes per call; false when the peer is gone.
static bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Serving state shared by the connections of one run.
struct Server {
    Options options;
    Battery battery;
    std::vector<std::string> replay;
    std::size_t replayNext = 0;
    long answers = 0;
    std::FILE* record = nullptr; // --record, or null
    BatteryModel model;          // with --capacity
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// The alarm bits of answer number (from 1), from the alarm options.
static Alarm alarmOf(const Options& options, long number)
{
    bool on = options.alarmFrom > 0 && number >= options.alarmFrom &&
              (options.alarmUntil == 0 || number <= options.alarmUntil);
    if (!on) return {};
    return {options.tempAlert, options.voltAlert, options.faultBits};
}

// The next answer, shaped by the fault options.
static std::string nextAnswer(Server* server)
{
    std::string answer;
    if (!server->replay.empty()) {
        answer = server->replay[server->replayNext];
        server->replayNext = (server->replayNext + 1) % server->replay.size();
    } else if (server->options.capacity > 0) {
        std::chrono::duration<double> real = std::chrono::steady_clock::now() - server->started;
        stepPhysical(&server->battery, &server->model, real.count() * server->options.speed);
        answer = makeAnswer(&server->battery, alarmOf(server->options, server->answers + 1));
    } else {
        stepBattery(&server->battery);
        answer = makeAnswer(&server->battery, alarmOf(server->options, server->answers + 1));
    }
    if (server->options.length >= 0) answer.resize(static_cast<std::size_t>(server->options.length), '0');
    return answer;
}

// Bytes as one line of text: \xHH for control bytes and bytes above 126, \\ for a backslash.
static std::string escaped(const std::string& bytes)
{
    std::string text;
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            text += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            text += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            text += hex;
        }
    }
    return text;
}

// Append an answer to the record file, escaped so that it stays one line.
static void recordAnswer(std::FILE* record, const std::string& answer)
{
    if (record == nullptr) return;
    std::fprintf(record, "%s\n", escaped(answer).c_str());
    std::fflush(record);
}

// Send one answer, in two writes when asked to; false when the peer is gone.
static bool sendAnswer(Server* server, int fd)
{
    std::string answer = nextAnswer(server);
    recordAnswer(server->record, answer);
    server->answers++;
    std::fprintf(stderr, "battery_sim: answer %ld, %zu bytes\n", server->answers, answer.size());
    if (answer.empty()) return true;
    if (server->options.splitMs < 0) return writeAll(fd, answer.data(), answer.size());
    std::size_t half = answer.size() / 2;
    if (!writeAll(fd, answer.data(), half)) return false;
    msleep(server->options.splitMs);
    return writeAll(fd, answer.data() + half, answer.size() - half);
}

// Count the requests in pending (an "@RQ" ended by a line feed) and drop what they used.
static int takeRequests(std::string* pending)
{
    int requests = 0;
    for (std::size_t end = pending->find('\n'); end != std::string::npos;
         end = pending->find('\n')) {
        // Each line is shown as it came, so a test sees exactly what the line carried.
        std::fprintf(stderr, "battery_sim: request %s\n", escaped(pending->substr(0, end + 1)).c_str());
        if (pending->substr(0, end).find("@RQ") != std::string::npos) requests++;
        pending->erase(0, end + 1);
    }
    // A peer that never sends a line feed must not grow the buffer for ever.
    if (pending->size() > 4096) pending->clear();
    return requests;
}

// Answer requests on fd until the peer leaves or the answer limit is reached.
// Returns true when the limit ended the connection.
static bool serveRequests(Server* server, int fd)
{
    std::string pending;
    long served = 0;
    char chunk[512];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(chunk, static_cast<std::size_t>(n));
        for (int requests = takeRequests(&pending); requests > 0; requests--) {
            if (server->options.silent) continue;
            if (!sendAnswer(server, fd)) return false;
            served++;
            if (server->options.closeAfter > 0 && served >= server->options.closeAfter)
                return true;
        }
    }
}

// Make the next close of sd send a reset rather than an orderly end.
static void armReset(int sd)
{
    linger hard{1, 0};
    if (setsockopt(sd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard) < 0)
        std::perror("battery_sim: SO_LINGER");
}

// A listening socket on host:port; exits when it cannot be had.
static int listenOn(const Options& options)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(options.port));
    int sd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    if (sd < 0 || inet_pton(AF_INET, options.host.c_str(), &addr.sin_addr) != 1 ||
        setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        bind(sd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0 || listen(sd, 4) < 0) {
        std::fprintf(stderr, "battery_sim: cannot listen on %s:%d: %s\n", options.host.c_str(),
                     options.port, std::strerror(errno));
        std::exit(2);
    }
    socklen_t size = sizeof addr;
    getsockname(sd, reinterpret_cast<sockaddr*>(&addr), &size);
    std::fprintf(stderr, "battery_sim: serving tcp %s:%d\n", options.host.c_str(),
                 ntohs(addr.sin_port));
    return sd;
}

// Serve TCP connections one after another, for ever.
static void serveTcp(Server* server)
{
    int listener = listenOn(server->options);
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) {
            if (errno != EINTR) std::perror("battery_sim: accept");
            continue;
        }
        std::fprintf(stderr, "battery_sim: connection opened\n");
        bool limited = serveRequests(server, fd);
        if (limited && server->options.reset) armReset(fd);
        close(fd);
        std::fprintf(stderr, "battery_sim: connection %s\n",
                     !limited ? "closed by peer" : server->options.reset ? "reset" : "closed");
    }
}

// Serve on a new pseudo-terminal, for ever.
static void serveSerial(Server* server)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    const char* path = master < 0 || grantpt(master) < 0 || unlockpt(master) < 0
                           ? nullptr
                           : ptsname(master);
    if (path == nullptr) {
        std::fprintf(stderr, "battery_sim: cannot create a pseudo-terminal: %s\n",
                     std::strerror(errno));
        std::exit(2);
    }
    std::string device = path;
    // Holding the device side open keeps reads on our side working between clients.
    int keep = open(device.c_str(), O_RDWR | O_NOCTTY);
    std::printf("%s\n", device.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "battery_sim: serving serial %s\n", device.c_str());
    for (;;) {
        if (!serveRequests(server, master)) msleep(100);
    }
    (void)keep;
}

// Parse a whole-number option value from min to max; exits with a message when it is not one.
static long number(const char* option, const char* text, long min, long max = LONG_MAX)
{
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max) {
        if (max == LONG_MAX)
            std::fprintf(stderr, "battery_sim: %s needs a whole number of at least %ld, not \"%s\"\n",
                         option, min, text);
        else
            std::fprintf(stderr, "battery_sim: %s needs a whole number from %ld to %ld, not \"%s\"\n",
                         option, min, max, text);
        std::exit(2);
    }
    return value;
}

// Parse a decimal option value from min (excluded unless withMin) to max; exits with a message when it is not one.
static double decimal(const char* option, const char* text, double min, double max, bool withMin = false)
{
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text, &end);
    bool above = withMin ? value >= min : value > min;
    if (errno != 0 || end == text || *end != '\0' || !(above && value <= max)) {
        std::fprintf(stderr, "battery_sim: %s needs a number %s %g %s %g, not \"%s\"\n", option,
                     withMin ? "from" : "above", min, withMin ? "to" : "and up to", max, text);
        std::exit(2);
    }
    return value;
}

// The text of a profile file; exits when it cannot be read.
static std::string readProfile(const char* path)
{
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::fprintf(stderr, "battery_sim: cannot read \"%s\": %s\n", path, std::strerror(errno));
        std::exit(2);
    }
    std::string text;
    for (int c = std::fgetc(file); c != EOF && text.size() < 65536; c = std::fgetc(file)) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

// Parse a hexadecimal register value of at most 16 bits; exits with a message when it is not one.
static unsigned hexBits(const char* option, const char* text)
{
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 16);
    if (errno != 0 || end == text || *end != '\0' || value > 0xFFFF || text[0] == '-') {
        std::fprintf(stderr, "battery_sim: %s needs a hexadecimal number up to FFFF, not \"%s\"\n",
                     option, text);
        std::exit(2);
    }
    return static_cast<unsigned>(value);
}

// Take an option of the ageing battery; false when arg is not one of them.
static bool ageingOption(Options* options, const std::string& arg, const char* value)
{
    if (arg == "--resistance") options->resistance = decimal("--resistance", value, 0, 100);
    else if (arg == "--weak-cell") options->weakCell = number("--weak-cell", value, 1, 8);
    else if (arg == "--weak-factor") options->weakFactor = decimal("--weak-factor", value, 1, 10, true);
    else if (arg == "--fade") options->fade = decimal("--fade", value, 0, 100, true);
    else if (arg == "--cycles") options->cycles = number("--cycles", value, 0, 100000);
    else return false;
    if (options->ageing.empty()) options->ageing = arg;
    return true;
}

// Take an option that has a value; false when arg is not one of them.
static bool valueOption(Options* options, const std::string& arg, const char* value)
{
    if (arg == "--host") options->host = value;
    else if (arg == "--replay") options->replayFile = value;
    else if (arg == "--record") options->recordFile = value;
    else if (arg == "--port") options->port = static_cast<int>(number("--port", value, 0));
    else if (arg == "--length") options->length = number("--length", value, 0);
    else if (arg == "--split") options->splitMs = static_cast<int>(number("--split", value, 0));
    else if (arg == "--close-after") options->closeAfter = number("--close-after", value, 1);
    else if (arg == "--seed") options->seed = static_cast<unsigned>(number("--seed", value, 0));
    else if (arg == "--temp-alert") options->tempAlert = hexBits("--temp-alert", value);
    else if (arg == "--volt-alert") options->voltAlert = hexBits("--volt-alert", value);
    else if (arg == "--fault") options->faultBits = hexBits("--fault", value);
    else if (arg == "--alarm-from") options->alarmFrom = number("--alarm-from", value, 1);
    else if (arg == "--alarm-until") options->alarmUntil = number("--alarm-until", value, 1);
    else if (arg == "--capacity") options->capacity = decimal("--capacity", value, 0, 10000);
    else if (arg == "--profile") options->profile = value;
    else if (arg == "--profile-file") options->profile = readProfile(value);
    else if (arg == "--start-charge") options->startCharge = decimal("--start-charge", value, 0, 100);
    else if (arg == "--speed") options->speed = decimal("--speed", value, 0, 100000);
    else return ageingOption(options, arg, value);
    return true;
}

// Refuse ageing options that would do nothing: without a battery played, or a factor without its cell.
static void checkAgeing(const Options& options)
{
    if (!options.ageing.empty() && options.capacity <= 0) {
        std::fprintf(stderr, "battery_sim: %s needs --capacity\n", options.ageing.c_str());
        std::exit(2);
    }
    if (options.weakFactor > 0 && options.weakCell == 0) {
        std::fprintf(stderr, "battery_sim: --weak-factor needs --weak-cell\n");
        std::exit(2);
    }
}

// Options from argv; exits on --help and on anything it does not know.
static Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(usageText, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::fputs("battery_sim " QAV_VERSION "\n" QAV_LICENCE_NOTICE "\n", stdout);
            std::exit(0);
        } else if (arg == "--serial") options.serial = true;
        else if (arg == "--silent") options.silent = true;
        else if (arg == "--reset") options.reset = true;
        else if (i + 1 < argc && valueOption(&options, arg, argv[i + 1])) i++;
        else {
            std::fprintf(stderr, "battery_sim: unknown option or missing value: %s\n%s", arg.c_str(), usageText);
            std::exit(2);
        }
    }
    bool alarmBits = options.tempAlert != 0 || options.voltAlert != 0 || options.faultBits != 0;
    if (alarmBits && options.alarmFrom == 0) options.alarmFrom = 1;
    std::vector<ProfileStep> steps;
    if (std::string wrong = parseProfile(options.profile, &steps); !wrong.empty()) {
        std::fprintf(stderr, "battery_sim: --profile: %s\n", wrong.c_str());
        std::exit(2);
    }
    if (options.port > 65535) {
        std::fprintf(stderr, "battery_sim: --port must be 0 to 65535\n");
        std::exit(2);
    }
    checkAgeing(options);
    return options;
}

// Open the record file for appending; exits when it cannot be had.
static std::FILE* openRecord(const std::string& path)
{
    std::FILE* record = std::fopen(path.c_str(), "a");
    if (record == nullptr) {
        std::fprintf(stderr, "battery_sim: cannot append to \"%s\": %s\n", path.c_str(),
                     std::strerror(errno));
        std::exit(2);
    }
    return record;
}

// The battery the options describe, aged by --cycles and charged to --start-charge of what is left.
static void setUpModel(const Options& options, BatteryModel* model)
{
    parseProfile(options.profile, &model->profile);
    model->capacity = options.capacity;
    if (options.resistance > 0) model->resistance = options.resistance;
    model->weakCell = static_cast<int>(options.weakCell);
    model->weakFactor = options.weakFactor > 0 ? options.weakFactor : 2;
    model->fade = options.fade;
    model->cycles = static_cast<double>(options.cycles);
    model->charge = presentCapacity(*model) * options.startCharge / 100;
}

// Serve until killed; exits 2 on a bad option or when it cannot serve.
int main(int argc, char** argv)
{
    // A client that goes away mid-answer is reported by write(), not by a signal.
    std::signal(SIGPIPE, SIG_IGN);
    Server server;
    server.options = parseOptions(argc, argv);
    server.battery.noise = server.options.seed;
    setUpModel(server.options, &server.model);
    if (!server.options.replayFile.empty()) server.replay = loadReplay(server.options.replayFile);
    if (!server.options.recordFile.empty()) server.record = openRecord(server.options.recordFile);
    if (server.options.serial) serveSerial(&server);
    else serveTcp(&server);
    return 0;
}
