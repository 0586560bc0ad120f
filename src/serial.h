// serial: serial devices and TCP endpoints behind one descriptor API.
#ifndef QAV_SERIAL_H
#define QAV_SERIAL_H

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
 * Entries are never removed once their open succeeded; closePort() leaves
 * them, so a later port given the same descriptor number is found after the
 * older entry.
 */
extern PortEntry* ports;

/**
 * Open a TCP endpoint or a serial device and register it.
 *
 * An address beginning with "tcp" (compared case-sensitively on three
 * characters) is "tcp:SERVER:PORT"; runs of colons count as one separator.
 * Any other address is a device path, configured for raw reading with a one
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
 * @return The new descriptor; -1 on failure, or 0 when a device open
 *         yielded descriptor 0 (which is closed again). Failures are
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
 * @return The connected socket, or -1 (a socket it made is closed again).
 */
int connectAtPort(const char* protocol, const char* server, int port);

/**
 * Close a port's descriptor. The registry entry stays.
 *
 * @param fd The port's descriptor.
 * @return The result of close(): 0, or -1 with errno set.
 */
int closePort(int fd);

/**
 * Close a port's descriptor and its send log, and drop its registry entry
 * (the first in opening order with @p fd), for programs that open and close
 * ports for as long as they run.
 *
 * @param fd The port's descriptor.
 * @return The result of close(): 0, or -1 with errno set.
 */
int releasePort(int fd);

/**
 * Send a text, drain a serial line, record the text in the port's send log
 * when one is open, and pause 10 ms.
 *
 * @param fd   The port's descriptor.
 * @param text Zero-terminated text, sent without its terminating zero. Must
 *             not be null.
 * @return 0 on success; the write count when the write was short or failed
 *         (-1); the negative drain result when draining failed.
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
 * Discard input received on a serial line but not yet read. A TCP port has
 * nothing to discard.
 *
 * @param fd The port's descriptor.
 * @return 0; the negative tcflush() result; -1 when no port has @p fd.
 */
int flushRecv(int fd);

/**
 * Give a port a send log named "NAME_SECONDS.log", opened for appending.
 * A send log the port had before is closed, whether or not this succeeds.
 *
 * @param fd   The port's descriptor.
 * @param name Start of the file name (a path may lead it). Must not be null.
 * @return The send log's descriptor, or -1 (the port then has no send log).
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
