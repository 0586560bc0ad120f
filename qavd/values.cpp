// values: the checks on option values: numbers, durations, battery addresses and names.
#include "values.h"

#include "listen.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utility>

CLI::Validator decimal(bool fraction)
{
    return {[fraction](const std::string& text) {
                auto points = std::count(text.begin(), text.end(), '.');
                bool digits = !text.empty() && text != "." && points <= (fraction ? 1 : 0) &&
                              std::all_of(text.begin(), text.end(), [](char c) {
                                  return std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '.';
                              });
                return digits ? std::string()
                              : text + (fraction ? " is not a decimal number" : " is not a whole decimal number");
            },
            ""};
}

// A duration in seconds, or with a unit (500ms, 5s, 2m, 1h), as the seconds CLI11 then checks.
// The number is decimal digits with at most one point, as decimal() takes it: no sign, base
// prefix or exponent.
CLI::Validator secondsWithUnit()
{
    return {[](std::string& text) {
                static const std::pair<const char*, double> units[] = {{"ms", 0.001}, {"s", 1}, {"m", 60}, {"h", 3600}};
                // A number without a unit, or what is no number at all, is left to decimal().
                std::size_t digits = text.find_first_not_of("0123456789.");
                char* end = nullptr;
                std::strtod(text.c_str(), &end);
                if (digits == std::string::npos || digits == 0 || *end == '\0') return std::string();
                std::string number = text.substr(0, digits);
                bool plain = !number.empty() && number != "." && std::count(number.begin(), number.end(), '.') <= 1;
                for (const auto& [unit, scale] : units) {
                    if (!plain || text.substr(digits) != unit) continue;
                    char seconds[32];
                    std::snprintf(seconds, sizeof seconds, "%.15g", std::strtod(number.c_str(), nullptr) * scale);
                    text = seconds;
                    return std::string();
                }
                return text + ": expected seconds, or a number with the unit ms, s, m or h (500ms, 5s, 2m, 1h)";
            },
            ""};
}

// The battery's address: "tcp:HOST:PORT", or the path of a device that exists.
CLI::Validator batteryAddress()
{
    return {[](const std::string& text) {
                HostPort endpoint;
                if (text.rfind("tcp:", 0) == 0) return parseTcpAddress(text, &endpoint);
                struct stat device {};
                if (stat(text.c_str(), &device) != 0)
                    return std::string("expected tcp:HOST:PORT or the path of a device: ") + std::strerror(errno);
                if (!S_ISCHR(device.st_mode) || major(device.st_rdev) == 1)
                    return text + " is not a serial device (expected tcp:HOST:PORT or a character device)";
                return std::string();
            },
            "ADDR"};
}

// A battery name fits in topics, metric labels and file names unchanged.
CLI::Validator batteryName()
{
    return {[](const std::string& text) {
                bool fits = !text.empty() && text.size() <= 32 &&
                            std::all_of(text.begin(), text.end(), [](char c) {
                                return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
                            });
                return fits ? std::string() : std::string("must be 1 to 32 of A-Z, a-z, 0-9, _ and -");
            },
            "NAME"};
}

CLI::Validator unnamed(CLI::Validator validator)
{
    validator.description("");
    return validator;
}
