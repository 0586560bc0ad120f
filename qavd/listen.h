// listen: addresses of endpoints and of listeners, and the listening sockets qavd opens.
#ifndef QAVD_LISTEN_H
#define QAVD_LISTEN_H

#include <string>

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

#endif
