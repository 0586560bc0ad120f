// signals: SIGTERM, SIGINT, SIGHUP and SIGCHLD as readable events on a descriptor.
#ifndef QAVD_SIGNALS_H
#define QAVD_SIGNALS_H

/**
 * Blocks SIGTERM, SIGINT, SIGHUP and SIGCHLD and delivers them on a signalfd,
 * so a poll() on fd() wakes up when one arrives; ignores SIGPIPE. Create it
 * before any thread starts, so every thread inherits the blocked mask.
 */
class Signals {
public:
    Signals();
    ~Signals();
    Signals(const Signals&) = delete;
    Signals& operator=(const Signals&) = delete;

    /** @return false when the signal descriptor could not be made (errno says why). */
    bool ok() const { return descriptor >= 0; }
    /** @return The descriptor to poll for POLLIN; -1 when ok() is false. */
    int fd() const { return descriptor; }
    /** Read every pending signal into the flags below; never blocks. */
    void take();

    bool terminate = false; ///< SIGTERM or SIGINT arrived.
    bool rotate = false;    ///< SIGHUP arrived and is not yet handled; clear it when handled.

private:
    int descriptor = -1;
};

#endif
