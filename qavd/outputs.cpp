// outputs: the daemon's own outputs: standard output, data log, system log and event command.
#include "outputs.h"

#include "events.h"
#include "json.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <syslog.h>

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX leaves it undeclared

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

void StdoutOutput::answer(const Reading& reading)
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

// DIR/<seconds>qav.log for the current time.
std::string dataLogPath(const std::string& dir)
{
    return dir + "/" + std::to_string(static_cast<long long>(std::time(nullptr))) + "qav.log";
}

} // namespace

std::unique_ptr<DataLogOutput> DataLogOutput::open(const std::string& dir, std::string* problem)
{
    std::string name = dataLogPath(dir);
    std::FILE* file = std::fopen(name.c_str(), "ae");
    if (file == nullptr) {
        *problem = "cannot open data log \"" + name + "\": " + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<DataLogOutput>(new DataLogOutput(dir, name, file));
}

DataLogOutput::DataLogOutput(std::string dirName, std::string path, std::FILE* opened)
    : dir(std::move(dirName)), current(std::move(path)), file(opened)
{
}

DataLogOutput::~DataLogOutput()
{
    if (file != nullptr) std::fclose(file);
}

void DataLogOutput::answer(const Reading& reading)
{
    writeDataLogLine(file, &reading.status, reading.time);
    // Report a full disk or a lost file once, not on every answer.
    if (std::ferror(file) != 0 && !writeFailed) {
        writeFailed = true;
        syslog(LOG_ERR, "cannot write data log \"%s\"", current.c_str());
        std::fprintf(stderr, "qavd: cannot write data log \"%s\"\n", current.c_str());
    }
}

void DataLogOutput::rotate()
{
    std::string name = dataLogPath(dir);
    std::FILE* next = std::fopen(name.c_str(), "ae");
    if (next == nullptr) {
        const char* reason = std::strerror(errno);
        syslog(LOG_ERR, "cannot open data log \"%s\": %s; still writing \"%s\"", name.c_str(),
               reason, current.c_str());
        std::fprintf(stderr, "qavd: cannot open data log \"%s\": %s; still writing \"%s\"\n",
                     name.c_str(), reason, current.c_str());
        return;
    }
    std::fclose(file);
    file = next;
    current = name;
    writeFailed = false;
}

void DataLogOutput::finish()
{
    std::fflush(file);
}

// ---- System log ----

void SyslogOutput::answer(const Reading& reading)
{
    if (!records) return;
    SyslogRecords texts = syslogRecords(&reading.status);
    syslog(LOG_ERR, "%s", texts.currentAndGauge.c_str());
    syslog(LOG_ERR, "%s", texts.humidity.c_str());
}

void SyslogOutput::event(const Event& event)
{
    bool bad = event.name == "commlost" || event.name == "alert" || event.name == "fault" ||
               event.name == "lowbattery";
    syslog(bad ? LOG_WARNING : LOG_NOTICE, "%s: %s: %s", battery.c_str(), event.name.c_str(),
           event.detail.c_str());
}

void SyslogOutput::polled(PollResult result)
{
    if (result == PollResult::accepted) {
        if (failures > 0)
            syslog(LOG_NOTICE, "%s: communication restored after %ld failed polls", battery.c_str(),
                   failures);
        failures = 0;
        return;
    }
    failures++;
    if (failureLogged(failures))
        syslog(LOG_WARNING, "%s: poll failed (%s), %ld in a row", battery.c_str(),
               pollResultName(result), failures);
}

// ---- Event command ----

namespace {

// The environment of an event command: ours without QAV_ entries, then the event's.
std::vector<std::string> eventEnvironment(const Event& event)
{
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; entry++)
        if (std::strncmp(*entry, "QAV_", 4) != 0) entries.emplace_back(*entry);
    entries.push_back("QAV_EVENT=" + event.name);
    entries.push_back("QAV_BATTERY=" + event.battery);
    entries.push_back("QAV_DETAIL=" + event.detail);
    entries.push_back("QAV_TIME=" + std::to_string(event.time));
    return entries;
}

// Pointers to texts, ending in a null, as execve() takes them.
std::vector<char*> pointersTo(std::vector<std::string>& texts)
{
    std::vector<char*> pointers(texts.size() + 1, nullptr);
    std::transform(texts.begin(), texts.end(), pointers.begin(), [](std::string& text) { return text.data(); });
    return pointers;
}

// Spawn attributes: a process group of its own, no blocked signals, default SIGPIPE.
int spawnAttributes(posix_spawnattr_t* attributes)
{
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int number : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&defaults, number);
    int error = posix_spawnattr_init(attributes);
    if (error != 0) return error;
    auto flags = static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if ((error = posix_spawnattr_setflags(attributes, flags)) != 0 ||
        (error = posix_spawnattr_setpgroup(attributes, 0)) != 0 ||
        (error = posix_spawnattr_setsigmask(attributes, &none)) != 0 ||
        (error = posix_spawnattr_setsigdefault(attributes, &defaults)) != 0)
        posix_spawnattr_destroy(attributes);
    return error;
}

// Descriptors of a command: no input, and its output where ours goes to error messages,
// so nothing it prints can break the JSON Lines on our standard output.
int spawnDescriptors(posix_spawn_file_actions_t* actions)
{
    int error = posix_spawn_file_actions_init(actions);
    if (error != 0) return error;
    if ((error = posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0)) != 0 ||
        (error = posix_spawn_file_actions_adddup2(actions, 2, 1)) != 0)
        posix_spawn_file_actions_destroy(actions);
    return error;
}

// Start path with argv and envp; 0 or an errno value.
int spawnCommand(pid_t* pid, const std::string& path, char* const* argv, char* const* envp)
{
    posix_spawnattr_t attributes;
    int error = spawnAttributes(&attributes);
    if (error != 0) return error;
    posix_spawn_file_actions_t actions;
    error = spawnDescriptors(&actions);
    if (error == 0) {
        error = posix_spawn(pid, path.c_str(), &actions, &attributes, argv, envp);
        posix_spawn_file_actions_destroy(&actions);
    }
    posix_spawnattr_destroy(&attributes);
    return error;
}

} // namespace

bool CommandRunner::run(const std::string& path, const Event& event, std::string* problem)
{
    reap();
    if (children.size() >= maxRunning) {
        *problem = std::to_string(children.size()) + " event commands still running";
        return false;
    }
    std::vector<std::string> args{path, event.name};
    std::vector<std::string> env = eventEnvironment(event);
    std::vector<char*> argv = pointersTo(args);
    std::vector<char*> envp = pointersTo(env);
    pid_t pid = -1;
    int error = spawnCommand(&pid, path, argv.data(), envp.data());
    if (error != 0) {
        *problem = "cannot run \"" + path + "\": " + std::strerror(error);
        return false;
    }
    children.push_back({pid, std::chrono::steady_clock::now(), false});
    return true;
}

void CommandRunner::reap()
{
    auto now = std::chrono::steady_clock::now();
    for (Child& child : children) {
        if (child.killed || now - child.started < limit) continue;
        // The whole group, so a script's own children go too.
        if (kill(-child.pid, SIGKILL) != 0 && errno != ESRCH) kill(child.pid, SIGKILL);
        child.killed = true;
        syslog(LOG_WARNING, "event command %d still running after %llds: killed", static_cast<int>(child.pid),
               static_cast<long long>(limit.count()));
    }
    std::erase_if(children, [](const Child& child) {
        int status = 0;
        pid_t done = waitpid(child.pid, &status, WNOHANG);
        return done == child.pid || (done < 0 && errno == ECHILD);
    });
}

std::chrono::steady_clock::time_point CommandRunner::nextDeadline() const
{
    auto next = std::chrono::steady_clock::time_point::max();
    for (const Child& child : children)
        if (!child.killed) next = std::min(next, child.started + limit);
    return next;
}

void EventCommandOutput::event(const Event& event)
{
    std::string problem;
    if (runner.run(path, event, &problem)) return;
    syslog(LOG_ERR, "%s: event %s: %s", event.battery.c_str(), event.name.c_str(), problem.c_str());
    std::fprintf(stderr, "qavd: event %s: %s\n", event.name.c_str(), problem.c_str());
}

// ---- All of them ----

bool addCoreOutputs(Outputs& outputs, const DaemonOptions& options, CommandRunner& runner,
                    std::string* problem)
{
    if (options.output != StdoutForm::none) outputs.add(std::make_unique<StdoutOutput>(options.output));
    if (!options.datalogDir.empty()) {
        std::unique_ptr<DataLogOutput> dataLog = DataLogOutput::open(options.datalogDir, problem);
        if (!dataLog) return false;
        outputs.add(std::move(dataLog));
    }
    outputs.add(std::make_unique<SyslogOutput>(options.name, options.syslogRecords));
    if (!options.eventCommand.empty())
        outputs.add(std::make_unique<EventCommandOutput>(options.eventCommand, runner));
    return true;
}
