// util: a millisecond sleep, a hexadecimal text parser, and descriptor helpers.
#ifndef QAV_UTIL_H
#define QAV_UTIL_H

#include <cstddef>

/**
 * Suspend the calling thread for @p ms milliseconds.
 *
 * The full time passes even when signals interrupt the sleep: each
 * interruption is followed by a sleep of the time that was left.
 *
 * @param ms Milliseconds to sleep. 0 or less returns at once.
 */
void msleep(int ms);

/**
 * Read the leading hexadecimal digits of a text as an int.
 *
 * Digits are 0-9, A-F and a-f; the first other character ends the scan.
 * There is no sign, no white-space skipping and no "0x" prefix handling.
 * The value wraps modulo 2^32, so more than eight digits keep the value of
 * the last eight, and eight digits starting with 8 or more give a negative
 * value.
 *
 * @param text Zero-terminated text. Must not be null.
 * @return The value of the leading digits; 0 when there are none.
 */
int ahextoi(const char* text);

/**
 * Open /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
 * files opened later never take their place and receive what is meant for
 * standard input, output or error. Call it first thing in main().
 */
void openStandardDescriptors();

/**
 * Append one line to a file opened for appending, whole or not at all: it
 * goes out in one write(); when that write is short, the rest is tried once
 * more, and when that fails too the file is cut back to its length before
 * the line, so no part of it stays behind.
 *
 * @param fd     Descriptor of a regular file opened with O_APPEND, written by
 *               no one else.
 * @param text   The line, with its line end. Must not be null.
 * @param length Bytes at @p text.
 * @return 0 when the whole line was written; else the errno value that says
 *         why not (ENOSPC on a full disk).
 */
int appendWhole(int fd, const char* text, std::size_t length);

#endif
