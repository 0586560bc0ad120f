// qavd_reference: prints the manual's METRICS, MQTT TOPICS and NUT VARIABLES sections, and its
// table of events, from qavd's own tables.
#include "discovery.h"
#include "event_table.h"
#include "metrics.h"
#include "state.h"
#include "variables.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <syslog.h>

namespace {

// Text as groff prints it: backslashes and dashes escaped, no line starting with a control character.
std::string roff(const std::string& text)
{
    std::string out = text.rfind('.', 0) == 0 || text.rfind('\'', 0) == 0 ? "\\&" : "";
    for (char c : text) out += c == '\\' ? "\\e" : c == '-' ? "\\-" : std::string(1, c);
    return out;
}

// A section's heading and first paragraph.
void section(const char* title, const std::string& text)
{
    std::printf(".SH %s\n%s\n", title, roff(text).c_str());
}

// One tagged paragraph: a bold term and its text.
void item(const std::string& term, const std::string& text)
{
    std::printf(".TP\n.B %s\n%s\n", roff(term).c_str(), roff(text).c_str());
}

// Every family /metrics serves once an answer came and each counter moved: name, type, labels and help.
void printMetrics()
{
    std::unique_ptr<HttpPart> metrics = makeMetrics("NAME");
    StateKeeper keeper("NAME", 0);
    keeper.connected(true);
    keeper.polled(PollResult::accepted);
    auto reading = std::make_shared<Reading>();
    reading->battery = "NAME";
    keeper.accepted(reading, 0);
    keeper.dropped("stdout", 1);
    metrics->state(keeper.snapshot());
    std::map<std::string, HttpHandler> routes;
    metrics->addRoutes(routes);
    HttpRequest request;
    request.path = "/metrics";
    std::istringstream text(routes.at("/metrics")(request).body);
    std::map<std::string, std::string> help, type, labels;
    std::regex helpLine("# HELP (\\S+) (.*)"), typeLine("# TYPE (\\S+) (\\S+)"), sample("(\\w+)\\{([^}]*)\\} .*");
    std::smatch m;
    for (std::string line; std::getline(text, line);) {
        if (std::regex_match(line, m, helpLine)) help[m[1]] = m[2];
        else if (std::regex_match(line, m, typeLine)) type[m[1]] = m[2];
        else if (std::regex_match(line, m, sample) && !labels.count(m[1]))
            labels[m[1]] = std::regex_replace(m[2].str(), std::regex("=\"[^\"]*\"(,?)"), "$1 ");
    }
    section("METRICS", "Served at /metrics by --metrics-listen and --http-listen: the value series while the data "
                       "is fresh, the counters always. Every series has the label battery.");
    for (const auto& [name, what] : help) {
        std::string labelText = labels.count(name) ? labels[name] : "battery ";
        labelText.pop_back();
        item(name, type[name] + "; labels " + labelText + ". " + what);
    }
    metrics->finish();
}

// The topics of battery NAME under the default prefixes, discovery configs among them.
void printTopics()
{
    MqttTopics topics = mqttTopics("qav", "NAME");
    section("MQTT TOPICS", "For --name NAME, with the default --mqtt-topic-prefix and --mqtt-discovery-prefix.");
    item(topics.state, "The JSON of the latest answer, retained.");
    item(topics.availability, "online while the data is fresh, else offline (also the will), retained.");
    item(topics.event, "One JSON object per event.");
    item(topics.health, "The battery's health as /api/v1/health has it, less the capacity points, retained; "
                        "at most once a minute, and at once when the replace flag or the weak cell changes.");
    item("qav/SITE/connection", "With several batteries (--name SITE): online while qavd is connected to the broker, "
                                "offline at a clean exit and as the connection's will, retained; each entity of Home "
                                "Assistant is available while both it and the battery's availability say online.");
    for (const DiscoveryConfig& config : discoveryConfigs(topics, "homeassistant", "NAME")) {
        std::string what = "Home Assistant discovery, retained: \"" + config.payload.value("name", "") + "\"";
        if (config.payload.contains("unit_of_measurement"))
            what += " in " + config.payload["unit_of_measurement"].get<std::string>();
        item(config.topic, what + ".");
    }
}

// Every NUT variable: name, kind and its GET DESC text.
void printNutVariables()
{
    section("NUT VARIABLES", "The variables of the UPS NAME (LIST VAR NAME), each with its GET DESC text; "
                             "ups.alarm only while something is alarmed.");
    for (const NutVariableInfo& info : nutVariableInfo())
        item(info.name, std::string(info.number ? "number" : "text") + ": " + info.description);
}

// A system-log priority as syslog.conf names it.
const char* priorityName(int priority)
{
    switch (priority) {
    case LOG_ALERT: return "alert";
    case LOG_WARNING: return "warning";
    case LOG_NOTICE: return "notice";
    default: return "info";
    }
}

// Every event with when it is raised, its system-log priority and its role.
void printEvents()
{
    for (const EventKind& kind : eventKinds) {
        const char* role = kind.role == EventRole::problem ? "starts a problem"
                           : kind.role == EventRole::clear ? "clears one"
                                                           : "informs";
        item(kind.name, std::string(kind.meaning) + " System log: " + priorityName(kind.priority) + "; " + role + "." +
                            (kind.commandKept ? " Its event command always runs." : ""));
    }
}

} // namespace

// With the argument "events", the table of events; without, the reference sections.
int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "events") == 0) {
        printEvents();
        return 0;
    }
    printMetrics();
    printTopics();
    printNutVariables();
    return 0;
}
