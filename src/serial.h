// serial: serial devices and TCP endpoints behind one descriptor API.
#ifndef QAV_SERIAL_H
#define QAV_SERIAL_H

// Every descriptor the library opens (sockets, devices, send logs) is
// close-on-exec: a program the caller runs never inherits a port or a log.

#include <cstdint>

/**
 * Verbosity of the library's diagnostics on standard error.
 *
 * Above 0: the TCP address and the new socket; above 3: every send; above 4:
 * every receive wait. Defined by the program that links the library.
 */
extern int DEBUG_LEVEL;

/** One opened port; the library keeps one per successful openPort(). */
struct PortEntry {
    std::uint8_t isTcp; ///< 1 for a TCP connection, 0 for a serial device.
    int fd;             ///< The port's descriptor, the key of every lookup.
    int logFd;          ///< Descriptor of the port's send log; 0 for none.
    PortEntry* prev;    ///< Previous entry; null for the first.
    PortEntry* next;    ///< Next entry; null for the last.
};

/**
 * The registry: the first of the opened ports, in opening order, or null.
 *
 * openPort() appends an entry when it succeeds and closePort() removes it,
 * so the registry holds exactly the ports that are open.
 */
extern PortEntry* ports;

/**
 * Open a TCP endpoint or a serial device and register it.
 *
 * An address beginning with "tcp" (compared case-sensitively on three
 * characters) is "tcp:SERVER:PORT"; runs of colons count as one separator.
 * Any other address is a device path, set up as a raw line both ways (bytes
 * pass untranslated, no software flow control, no signals or special
 * characters; hardware flow control stays as the device has it) with a one
 * second read timeout; @p speed, @p dataBits, @p stopBits and @p parity
 * apply only there.
 *
 * @param address  Address text. Must not be null.
 * @param fdOut    Receives the new descriptor, or 0 after any failure. Must
 *                 not be null.
 * @param speed    Line speed in baud (50 to 4000000 where the platform has
 *                 the rate) or a termios speed code.
 * @param dataBits 5, 6, 7 or 8.
 * @param stopBits 2 for two stop bits; any other value gives one.
 * @param parity   "none", "even" or "odd" in any letter case. Must not be
 *                 null.
 * @return The new descriptor, close-on-exec and never 0 (a port given
 *         descriptor 0 is moved above it); -1 on failure. Failures are
 *         reported on standard error.
 */
int openPort(const char* address, int* fdOut, int speed, int dataBits, int stopBits,
             const char* parity);

/**
 * Connect a TCP socket with a two second receive timeout.
 *
 * @param protocol Not consulted.
 * @param server   Dotted IPv4 address (taken as is when it starts with a
 *                 digit) or a host name to look up. Must not be null.
 * @param port     Port number; only its low 16 bits are used.
 * @return The connected socket, close-on-exec and never descriptor 0; -1
 *         when the name does not resolve or the connection fails, without a
 *         message (a socket it made is closed again, errno tells why).
 */
int connectAtPort(const char* protocol, const char* server, int port);

/**
 * Close a port: remove its registry entry, close its send log when it has
 * one, then close the descriptor. A descriptor the registry does not know is
 * closed all the same.
 *
 * @param fd The port's descriptor.
 * @return The result of closing @p fd: 0, or -1 with errno set.
 */
int closePort(int fd);

/**
 * Send a text, drain a serial line, record the text in the port's send log
 * when one is open, and pause 10 ms.
 *
 * @param fd   The port's descriptor.
 * @param text Zero-terminated text, sent without its terminating zero. Must
 *             not be null.
 * @return 0 on success; -1, with nothing written, when no port has @p fd;
 *         the write count when the write was short or failed (-1); the
 *         negative drain result when draining failed.
 */
int sendStr(int fd, const char* text);

/**
 * Wait up to two seconds for input and read what is there.
 *
 * Prints "calling select" and then "no bytes ready" or "select returned N"
 * on standard output. The whole @p length of @p buffer is cleared before the
 * read, so a read shorter than @p length leaves the text zero-terminated.
 *
 * @param fd     The port's descriptor; must be below FD_SETSIZE.
 * @param buffer At least @p length bytes. Must not be null.
 * @param length Most bytes to read; at least 1.
 * @return The number of bytes read; 0 when nothing arrived in time or the
 *         peer closed; -1 on error or on a bad descriptor or length.
 */
int recvStr(int fd, char* buffer, int length);

/**
 * Discard input received but not yet read: on a serial line all of it, on a
 * TCP port the bytes waiting at the moment of the call (it never waits for
 * more). An end of stream is left for the next read to report.
 *
 * @param fd The port's descriptor.
 * @return 0; the negative tcflush() result, or -1 when the socket cannot be
 *         read; -1 when no port has @p fd.
 */
int flushRecv(int fd);

/**
 * Give a port a send log named "NAME_SECONDS.log", opened for appending.
 * A send log the port had before is closed, whether or not this succeeds.
 *
 * @param fd   The port's descriptor.
 * @param name Start of the file name (a path may lead it). Must not be null.
 * @return The send log's descriptor (close-on-exec), or -1 (the port then has
 *         no send log).
 */
int openLogFile(int fd, const char* name);

/**
 * Close a port's send log; later sends on the port record nothing.
 *
 * @param fd The port's descriptor.
 * @return The result of close(); -1 when the port has no send log or no port
 *         has @p fd.
 */
int closeLogFile(int fd);

#endif
