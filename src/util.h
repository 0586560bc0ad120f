// util: a millisecond sleep and a hexadecimal text parser.
#ifndef QAV_UTIL_H
#define QAV_UTIL_H

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

#endif
