// transport: the battery's port, opened, written and read with deadlines only.
#ifndef QAVD_TRANSPORT_H
#define QAVD_TRANSPORT_H

#include "options.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

/** How a wait ended. */
enum class Wake { ready, deadline, terminate };

/**
 * Waits until @p fd (when not -1) has one of @p events, @p deadline passes,
 * or a stop signal arrives; the poll loop provides it.
 */
using Waiter = std::function<Wake(int fd, short events, std::chrono::steady_clock::time_point deadline)>;

/**
 * The connection to the battery. A TCP address is resolved on a thread of its
 * own and connected without blocking; a device path is opened by the port
 * library. Every call returns by its deadline, or at once on a stop signal:
 * nothing outside qavd (an endpoint that drops SYNs, a name server that does
 * not answer, a line held by flow control, a peer that stops reading) can
 * hold the poll loop longer.
 */
class Transport {
public:
    /** @param settings Checked options; the address is --address. @param waiter The loop's wait. */
    Transport(const DaemonOptions& settings, Waiter waiter);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    /**
     * Open the port.
     *
     * @param deadline When to give up.
     * @param why      Receives the system's reason after a failure. Must not be null.
     * @return true when the port is open.
     */
    bool open(std::chrono::steady_clock::time_point deadline, std::string* why);

    /** @return The open port's descriptor (non-blocking), or -1. */
    int fd() const { return descriptor; }

    /** Drop whatever arrived since the last poll; false when the peer has gone or the port failed. */
    bool discard() const;

    /**
     * Write @p text, and on a serial line wait until it has left, by @p deadline.
     *
     * @return true when all was sent; false when the port failed, time ran out or a stop signal came.
     */
    bool send(const std::string& text, std::chrono::steady_clock::time_point deadline);

    /** Close the port, if open. */
    void close();

private:
    bool openTcp(const HostPort& endpoint, std::chrono::steady_clock::time_point deadline, std::string* why);
    bool openDevice(std::string* why);
    bool drain(std::chrono::steady_clock::time_point deadline);

    const DaemonOptions& options;
    Waiter wait;
    int descriptor = -1;
    bool device = false;
};

#endif
