// core_outputs: the daemon's own outputs: standard output, data log, system log and event command.
#include "core_outputs.h"

#include "event_table.h"
#include "events.h"
#include "json.h"
#include "log.h"
#include "util.h"

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

// ---- Standard output ----

namespace {

// The console report of a reading as text.
std::string consoleReport(const Reading& reading)
{
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* memory = open_memstream(&text, &size);
    if (memory == nullptr) return "";
    printReport(memory, &reading.status, reading.time);
    std::fclose(memory);
    std::string report(text, size);
    std::free(text);
    return report;
}

} // namespace

void StdoutOutput::accepted(const Reading& reading)
{
    if (form == StdoutForm::json) writer.write(reading.json() + '\n');
    else if (form == StdoutForm::console) writer.write(consoleReport(reading));
}

void StdoutOutput::finish()
{
    writer.finish(std::chrono::steady_clock::now() + exitGrace);
}

// ---- Data log ----

namespace {

// DIR/<seconds>TAIL for the current time.
std::string dataLogPath(const std::string& dir, const std::string& tail)
{
    return dir + "/" + std::to_string(static_cast<long long>(std::time(nullptr))) + tail;
}

// Open a data log file for appending; -1 with errno set when it cannot be.
int openDataLog(const std::string& path)
{
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

} // namespace

std::unique_ptr<DataLogOutput> DataLogOutput::open(const std::string& dir, std::string* problem,
                                                   const std::string& tail)
{
    std::string name = dataLogPath(dir, tail);
    int fd = openDataLog(name);
    if (fd < 0) {
        *problem = "cannot open data log \"" + name + "\": " + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<DataLogOutput>(new DataLogOutput(dir, tail, name, fd));
}

DataLogOutput::DataLogOutput(std::string dirName, std::string nameTail, std::string path, int opened)
    : dir(std::move(dirName)), tail(std::move(nameTail)), current(std::move(path)), fd(opened)
{
}

DataLogOutput::~DataLogOutput()
{
    close(fd);
}

// Make sure the file is still there, creating it again when it was deleted;
// "" when it can be written, else why not.
std::string DataLogOutput::present()
{
    struct stat file {};
    if (fstat(fd, &file) == 0 && file.st_nlink > 0) return "";
    // Its directory may have gone with it; the level above stays the operator's.
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return "data log \"" + current + "\" was deleted and cannot be created again: " + std::strerror(errno);
    int again = openDataLog(current);
    if (again < 0)
        return "data log \"" + current + "\" was deleted and cannot be created again: " + std::strerror(errno);
    close(fd);
    fd = again;
    logMessage(LOG_WARNING, "data log \"" + current + "\" was deleted: created it again");
    return "";
}

void DataLogOutput::accepted(const Reading& reading)
{
    std::string line = dataLogLine(&reading.status, reading.time);
    std::string problem = present();
    if (problem.empty()) {
        int error = appendWhole(fd, line.data(), line.size());
        if (error != 0) problem = "cannot write data log \"" + current + "\": " + std::strerror(error);
    }
    if (!problem.empty()) {
        lost++;
        if (!failing) logMessage(LOG_WARNING, problem + "; its lines are lost until writing works again");
        failing = true;
        return;
    }
    if (!failing) return;
    logMessage(LOG_NOTICE, "data log \"" + current + "\" is written again; " + std::to_string(lost) +
                               (lost == 1 ? " line was" : " lines were") + " lost");
    failing = false;
    lost = 0;
}

void DataLogOutput::rotate()
{
    std::string name = dataLogPath(dir, tail);
    int next = openDataLog(name);
    if (next < 0) {
        logMessage(LOG_ERR, "cannot open data log \"" + name + "\": " + std::strerror(errno) + "; still writing \"" +
                                current + "\"");
        return;
    }
    close(fd);
    fd = next;
    current = name;
}

// ---- System log ----

void SyslogOutput::accepted(const Reading& reading)
{
    if (!records) return;
    SyslogRecords texts = syslogRecords(&reading.status);
    systemLog(LOG_ERR, texts.currentAndGauge);
    systemLog(LOG_ERR, texts.humidity);
}

void SyslogOutput::event(const Event& event)
{
    const EventKind* kind = findEventKind(event.name);
    systemLog(kind != nullptr ? kind->priority : LOG_NOTICE, battery + ": " + event.name + ": " + event.detail);
}

void SyslogOutput::polled(PollResult result)
{
    if (result == PollResult::accepted) {
        if (failures > 0)
            systemLog(LOG_NOTICE, battery + ": communication restored after " + std::to_string(failures) +
                                      " failed polls");
        failures = 0;
        return;
    }
    failures++;
    if (failureLogged(failures))
        systemLog(LOG_WARNING, battery + ": poll failed (" + pollResultName(result) + "), " +
                                   std::to_string(failures) + " in a row");
}

std::pair<const char*, std::uint64_t> SyslogOutput::drops() const
{
    return {"syslog", syslogDropped()};
}

std::pair<const char*, std::uint64_t> StderrOutput::drops() const
{
    return {"stderr", stderrDropped()};
}

// ---- Event command ----

void EventCommandOutput::event(const Event& event)
{
    std::string problem;
    if (!runner.run(path, event, &problem)) reportUnrun(event, problem);
}

// ---- All of them ----

void addSiteOutputs(Outputs& outputs, const DaemonOptions& options)
{
    if (options.output != StdoutForm::none) outputs.add(std::make_unique<StdoutOutput>(options.output));
    outputs.add(std::make_unique<StderrOutput>());
}

bool addBatteryOutputs(Outputs& outputs, const DaemonOptions& battery, bool several, CommandRunner& runner,
                       std::string* problem)
{
    if (!battery.datalogDir.empty()) {
        std::string tail = several ? "qav-" + battery.name + ".log" : "qav.log";
        std::unique_ptr<DataLogOutput> dataLog = DataLogOutput::open(battery.datalogDir, problem, tail);
        if (!dataLog) return false;
        outputs.add(std::move(dataLog));
    }
    outputs.add(std::make_unique<SyslogOutput>(battery.name, battery.syslogRecords));
    if (!battery.eventCommand.empty())
        outputs.add(std::make_unique<EventCommandOutput>(battery.eventCommand, runner));
    return true;
}
