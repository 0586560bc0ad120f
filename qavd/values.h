// values: the checks on option values: numbers, durations, battery addresses and names.
#ifndef QAVD_VALUES_H
#define QAVD_VALUES_H

namespace CLI {
class Validator;
}

/**
 * A number option's text: decimal digits, with one decimal point where @p fraction
 * allows; no sign, base prefix, exponent, NaN or infinity.
 *
 * @param fraction true to allow one decimal point.
 * @return The check, without a description.
 */
CLI::Validator decimal(bool fraction);

/**
 * A duration: seconds, or a number of decimal digits (at most one point) with the unit
 * ms, s, m or h (500ms, 5s, 2m, 1h), rewritten as the seconds for the option's own checks.
 */
CLI::Validator secondsWithUnit();

/** A battery's address: "tcp:HOST:PORT" (see parseTcpAddress()), or a serial character device. */
CLI::Validator batteryAddress();

/** A battery's name: 1 to 32 of A-Z, a-z, 0-9, _ and -, so it fits in topics, labels and file names. */
CLI::Validator batteryName();

/**
 * A validator that adds nothing to its option's type name in --help, which
 * otherwise shows both, as in "INT:INT in [1 - 8]". Say the limits in the
 * option's description instead.
 *
 * @param validator Any CLI11 validator.
 * @return The same check, without a description.
 */
CLI::Validator unnamed(CLI::Validator validator);

#endif
