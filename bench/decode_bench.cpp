// Benchmark: decoding one answer and formatting its three reports, all in memory.
#include "battery_status.h"
#include "sample_answers.h"

#include <benchmark/benchmark.h>
#include <cstdio>

namespace {

void decodeAndReport(benchmark::State& state)
{
    static char console[4096];
    static char dataLog[256];
    std::FILE* out = fmemopen(console, sizeof console, "w");
    std::FILE* log = fmemopen(dataLog, sizeof dataLog, "w");
    BatteryStatus status{};
    for (auto _ : state) {
        decodeStatus(answerA.data(), answerA.size(), &status);
        std::rewind(out);
        printReport(out, &status, 1796699894);
        std::fflush(out);
        std::rewind(log);
        writeDataLogLine(log, &status, 1796699894);
        SyslogRecords records = syslogRecords(&status);
        benchmark::DoNotOptimize(records);
    }
    std::fclose(out);
    std::fclose(log);
}
BENCHMARK(decodeAndReport);

void decodeOnly(benchmark::State& state)
{
    BatteryStatus status{};
    for (auto _ : state) {
        decodeStatus(answerA.data(), answerA.size(), &status);
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(decodeOnly);

} // namespace

BENCHMARK_MAIN();
