// log: the daemon's own messages to standard error and the system log, never waiting on either's reader.
#ifndef QAVD_LOG_H
#define QAVD_LOG_H

#include <chrono>
#include <cstdint>
#include <string>

/*
 * logMessage() (declared in output.h) sends to both. Until startLogging(),
 * messages are written at once; from then on each channel is a LineWriter of
 * at most logQueueLimit bytes, so a journal or syslog daemon that stops
 * reading costs the oldest messages (counted), never a wait.
 */

/** Most bytes of messages waiting for each of standard error and the system log. */
constexpr std::size_t logQueueLimit = 64 * 1024;

/** Longest wait at exit for a slow reader of either. */
constexpr std::chrono::milliseconds logExitGrace{200};

/** Send @p text to the system log only, at @p priority (facility daemon unless given). */
void systemLog(int priority, const std::string& text);

/** Write "qavd: " @p text to standard error only. */
void standardError(const std::string& text);

/**
 * Start the writers' threads. Call once, after the signals are blocked and
 * before any other thread logs.
 */
void startLogging();

/**
 * Write what is queued, waiting until @p deadline at most; a writer stuck on
 * its reader is left to end with the process.
 */
void finishLogging(std::chrono::steady_clock::time_point deadline);

/** @return Messages standard error dropped so far. */
std::uint64_t stderrDropped();

/** @return Records the system log dropped so far. */
std::uint64_t syslogDropped();

#endif
