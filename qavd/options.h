// options: qavd's command line and config file, and the checks on their values.
#ifndef QAVD_OPTIONS_H
#define QAVD_OPTIONS_H

#include <string>

namespace CLI {
class App;
class Validator;
}

/** What qavd prints on standard output per accepted answer. */
enum class StdoutForm { json, console, none };

/** The daemon's own settings; exporters keep theirs in their own structs. */
struct DaemonOptions {
    std::string address = "tcp:127.0.0.1:10001"; ///< Port-library address.
    int speed = 9600;                            ///< Line speed of a device path.
    int dataBits = 8;                            ///< 5 to 8.
    int stopBits = 1;                            ///< 1 or 2.
    std::string parity = "none";                 ///< "none", "even" or "odd".
    std::string name = "battery";                ///< The battery's name in every output.
    double interval = 5;                         ///< Poll period in seconds, start to start.
    double timeout = 2;                          ///< Wait for a whole answer, in seconds.
    int staleAfter = 3;                          ///< Failed polls after which data is stale.
    double maxBackoff = 15;                      ///< Longest wait in seconds between attempts to connect.
    StdoutForm output = StdoutForm::json;        ///< Standard output form.
    std::string datalogDir;                      ///< Data log directory; empty for none.
    bool syslogRecords = false;                  ///< Send two system log records per answer.
    std::string eventCommand;                    ///< Program run on every event; empty for none.
    double lowBattery = 20;                      ///< Gas gauge percent at or below which the battery is low.
    std::string publicUrl;                       ///< The page's address as a browser reaches it; "" for none.
    bool once = false;                           ///< Print the first accepted answer and exit.
    double capacity = 0;                         ///< Rated capacity in ampere-hours; 0 to learn it.
    double lowRuntime = 0;                       ///< Runtime in seconds at or below which the battery is low; 0 for off.
};

/** A TCP endpoint: a host (name or address) and a port. */
struct HostPort {
    std::string host; ///< Host name or numeric address.
    int port = 0;     ///< 0 to 65535.
};

/**
 * Read a port number: decimal digits only, from @p low to 65535.
 *
 * @return The port, or -1 for any other text.
 */
int portNumber(const std::string& text, int low);

/** The message for a port that portNumber() refuses. */
extern const char* const portProblem;

/**
 * Where systemd put a credential of the service (LoadCredential=NAME:PATH).
 *
 * @param name The credential's name, such as "mqtt-password".
 * @return $CREDENTIALS_DIRECTORY/NAME when the variable is set and that file
 *         exists; "" otherwise.
 */
std::string credentialPath(const std::string& name);

/**
 * Check that a file holding a secret is kept from other users.
 *
 * @param path The file.
 * @return A warning naming the file when others may read it; "" otherwise.
 */
std::string exposedSecret(const std::string& path);

/**
 * Read a file given at start. It must be a regular file, and is opened
 * without blocking, so a FIFO or a device is refused at once, never waited on.
 *
 * @param path   The file.
 * @param limit  Most bytes wanted; one more is read when there, so the caller can tell a longer file.
 * @param secret true for a file of passwords: refused when anyone but its owner and root may write it.
 * @param text   Receives what was read. Must not be null.
 * @return An empty text, or what is wrong, naming the file (and its mode).
 */
std::string readStartFile(const std::string& path, std::size_t limit, bool secret, std::string* text);

/** A check for an option naming a file read at start: a regular file, opened without blocking. */
CLI::Validator startFile();

/**
 * Read a battery address "tcp:HOST:PORT": HOST without colons or blanks, PORT 1 to 65535
 * in decimal digits, nothing after it.
 *
 * @param address The address.
 * @param out     Receives host and port. Must not be null.
 * @return An empty text, or what is wrong with @p address.
 */
std::string parseTcpAddress(const std::string& address, HostPort* out);

/**
 * Read a listen address "ADDR:PORT": ADDR a numeric IPv4 address, an IPv6
 * address in brackets ("[::1]"), "localhost" (127.0.0.1) or nothing for every
 * address; PORT 0 to 65535 in decimal digits (0 takes a free port), nothing after it.
 *
 * @param text The address.
 * @param out  Receives the address as numbers, in its usual form ("" for every
 *             address, IPv6 without brackets), and the port. Must not be null.
 * @return An empty text, or what is wrong with @p text.
 */
std::string parseListenAddress(const std::string& text, HostPort* out);

/**
 * A listen address as the log shows it: "127.0.0.1:9788", "[::1]:9788", or
 * "every address (IPv4 and IPv6), port 9788".
 */
std::string listenText(const HostPort& where);

/**
 * Open a TCP socket bound to @p where (as parseListenAddress() gives it) and listening.
 * Every address is IPv6's wildcard taking IPv4 too, or IPv4's alone where IPv6 is off.
 *
 * @param flags SOCK_CLOEXEC, SOCK_NONBLOCK, as socket() takes them.
 * @return The socket, or -1 with errno set.
 */
int listenSocket(const HostPort& where, int flags);

/** @return The port socket @p fd is bound to, or 0. */
int boundPort(int fd);

/**
 * Add the daemon's options, --config, --help and --version to @p app.
 * Values parsed later land in @p options, which must outlive @p app's parsing.
 *
 * @param app     The command line. Exporters add their options to it afterwards.
 * @param options Receives the parsed values; starts at the defaults.
 */
void addCoreOptions(CLI::App& app, DaemonOptions& options);

/**
 * A validator that adds nothing to its option's type name in --help, which
 * otherwise shows both, as in "INT:INT in [1 - 8]". Say the limits in the
 * option's description instead.
 *
 * @param validator Any CLI11 validator.
 * @return The same check, without a description.
 */
CLI::Validator unnamed(CLI::Validator validator);

/**
 * A number option's text: decimal digits, with one decimal point where @p fraction
 * allows; no sign, base prefix, exponent, NaN or infinity.
 *
 * @param fraction true to allow one decimal point.
 * @return The check, without a description.
 */
CLI::Validator decimal(bool fraction);

/**
 * Parse the command line and the config file it names, then check the values
 * that depend on each other. Messages go to standard error (help and version
 * to standard output); one about the config file names its line. Options whose
 * type name is SECONDS take a unit too (500ms, 5s, 2m, 1h). Without --timeout,
 * the timeout is 2 s or half the interval, whichever is less.
 *
 * @param app     The command line with every option added. 
 * @param options The values addCoreOptions() bound to @p app; the timeout may be set here.
 * @param argc    Argument count, as main() has it.
 * @param argv    Arguments, as main() has them. Must not be null.
 * @return -1 to go on; 0 after --help or --version; 2 after any error.
 */
int parseCommandLine(CLI::App& app, DaemonOptions& options, int argc, char** argv);

/**
 * Check the values that no single option's check can see.
 *
 * @param options Parsed values.
 * @return An empty text when they fit together, or a message saying what does not.
 */
std::string crossCheck(const DaemonOptions& options);

#endif
