// metrics_fixture: scrape an exporter with curl, check the text with promtool, and read its series.
#ifndef QAV_TESTS_METRICS_FIXTURE_H
#define QAV_TESTS_METRICS_FIXTURE_H

#include "process.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>

// Stop a test whose program (a path, empty when not installed) is missing: a failure
// under CI, a skip that says why elsewhere.
#define REQUIRE_PROGRAM(path, package)                                                  \
    do {                                                                                \
        if (std::string(path).empty() && std::getenv("CI") != nullptr)                  \
            FAIL() << (package) << " is not installed";                                 \
        if (std::string(path).empty()) GTEST_SKIP() << (package) << " is not installed"; \
    } while (false)

// How a program ended (its exit status, or -1) and what it printed on stdout and stderr.
struct Ran {
    int status = -1;
    std::string out;
    std::string err;
};

// Run a program (argv[0] a path) to its end.
inline Ran run(const std::vector<std::string>& argv)
{
    Child child = spawn(argv);
    while (pump(&child, 1000)) {
    }
    int wait = stop(&child, SIGKILL);
    return Ran{WIFEXITED(wait) ? WEXITSTATUS(wait) : -1, child.out, child.err};
}

// One HTTP response as curl saw it; status 0 when curl failed.
struct Response {
    int status = 0;
    std::string headers;
    std::string body;
    std::string error;
};

// Run curl with args and the url, returning the response (curl's -i form split up).
inline Response curl(const std::string& url, std::vector<std::string> args = {})
{
    args.insert(args.begin(), {CURL_PATH, "-sS", "-i", "--max-time", "20"});
    args.push_back(url);
    Ran curlRun = run(args);
    Response response;
    response.error = curlRun.err;
    std::size_t end = curlRun.out.find("\r\n\r\n");
    if (curlRun.status != 0 || end == std::string::npos) return response;
    response.headers = curlRun.out.substr(0, end + 2);
    response.body = curlRun.out.substr(end + 4);
    std::sscanf(response.headers.c_str(), "HTTP/%*s %d", &response.status);
    return response;
}

// GET /metrics from 127.0.0.1:port, expecting 200.
inline std::string scrape(int port)
{
    Response response = curl("http://127.0.0.1:" + std::to_string(port) + "/metrics");
    EXPECT_EQ(response.status, 200) << response.error;
    return response.body;
}

// What `promtool check metrics` says about an exposition; empty when it has no complaint.
inline std::string promtoolComplaints(const std::string& exposition)
{
    char path[] = "/tmp/qav_metrics_XXXXXX";
    int fd = mkstemp(path);
    std::ofstream(path) << exposition;
    close(fd);
    Ran check = run({"/bin/sh", "-c", std::string(PROMTOOL_PATH) + " check metrics < " + path + " 2>&1"});
    unlink(path);
    bool clean = check.status == 0 && check.out.empty();
    return clean ? "" : "promtool: " + check.out + check.err;
}

// The samples of an exposition by series, each checked to carry battery="<battery>", which
// is left out of the key: qav_up, qav_cell_voltage_volts{cell="1"}, ...
inline std::map<std::string, double> seriesOf(const std::string& exposition, const std::string& battery)
{
    static const std::regex sample(R"re(([a-z_]+)\{battery="([^"]*)"(,([^}]*))?\} (\S+))re");
    std::map<std::string, double> series;
    std::istringstream lines(exposition);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::smatch m;
        if (!std::regex_match(line, m, sample) || m[2] != battery) {
            ADD_FAILURE() << "sample without battery=\"" << battery << "\": " << line;
            continue;
        }
        std::string key = m[1].str() + (m[4].matched ? "{" + m[4].str() + "}" : "");
        EXPECT_EQ(series.count(key), 0U) << "repeated series " << line;
        series[key] = std::strtod(m[5].str().c_str(), nullptr);
    }
    return series;
}

// Whether any series of a metric that shows the decoded answer is present.
inline bool hasValueSeries(const std::map<std::string, double>& series)
{
    static const std::regex valueMetric("qav_(state_of_charge_ratio|cell_voltage_volts|stack_voltage_volts|"
                                  "current_amperes|temperature_celsius|relative_humidity_ratio|"
                                  "(balance|temp_alert|volt_alert|status)_register|status_flag)(\\{.*)?");
    for (const auto& entry : series)
        if (std::regex_match(entry.first, valueMetric)) return true;
    return false;
}

#endif
