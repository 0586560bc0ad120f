// poller: the poll loop: connect with back-off, request, collect, check and hand on each answer.
#ifndef QAVD_POLLER_H
#define QAVD_POLLER_H

#include "options.h"
#include "output.h"

#include <string>

class Signals;
class CommandRunner;
class HistoryRecorder;

/**
 * Sort the bytes collected for one request.
 *
 * @param bytes Everything received between the request and the end of the wait.
 * @return accepted for exactly 77 bytes whose first 74 are hexadecimal digits;
 *         timeout for none; shortAnswer for 1 to 76; longAnswer for more than
 *         77; malformed for 77 with any other byte among the first 74.
 */
PollResult classifyAnswer(const std::string& bytes);

/**
 * Poll the battery until SIGTERM or SIGINT (or, with --once, until the first
 * accepted answer or --stale-after failed polls), handing every outcome, answer
 * and event to @p outputs. Never ends on a lost or refused connection.
 *
 * @param options Parsed and checked options.
 * @param outputs Every output, already started.
 * @param signals The daemon's signals; ok() must be true.
 * @param runner  Event command children to reap and time out while waiting.
 * @param recorder The history: fed each answer in the event step, which raises its
 *                 outageend, and the source of a capacity learned before.
 * @return The exit status: 0, or 1 when --once saw no accepted answer.
 */
int runDaemon(const DaemonOptions& options, Outputs& outputs, Signals& signals, CommandRunner& runner,
              HistoryRecorder& recorder);

#endif
