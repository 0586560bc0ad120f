// The event table drives every output: each row reaches Home Assistant's event entity, the
// metrics' labels, the system log at its priority, and the manual.
#include "discovery.h"
#include "event_table.h"
#include "metrics.h"
#include "must_run.h"
#include "core_outputs.h"
#include "server.h"
#include "syslog_socket.h"
#include "text_files.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

// The names Home Assistant's event entity offers to automations.
std::vector<std::string> haEventTypes()
{
    for (const DiscoveryConfig& config : discoveryConfigs(mqttTopics("qav", "b1"), "homeassistant", "b1"))
        if (config.payload.contains("event_types")) return config.payload["event_types"].get<std::vector<std::string>>();
    return {};
}

// The exposition of a metrics part that has seen no poll.
std::string metricsText()
{
    std::unique_ptr<HttpPart> metrics = makeMetrics("b1");
    std::map<std::string, HttpHandler> routes;
    metrics->addRoutes(routes);
    HttpRequest request;
    request.path = "/metrics";
    return routes.at("/metrics")(request).body;
}

} // namespace

// The table's names, pinned once; every output lists each of them, and the system log
// gives each its priority (facility daemon: <25> alert, <28> warning, <29> notice).
TEST(SystemLogEventTable, EveryOutputCarriesEveryEvent)
{
    std::vector<std::string> names;
    for (const EventKind& kind : eventKinds) names.push_back(kind.name);
    EXPECT_EQ(names, (std::vector<std::string>{"commlost", "commok", "alert", "alertclear", "fault", "faultclear",
                                               "lowbattery", "lowbatteryclear", "outageend", "fsd",
                                               "replacebattery", "replacebatteryclear", "weakcell", "weakcellclear"}));
    EXPECT_EQ(haEventTypes(), names);
    std::string exposition = metricsText();
    std::string manual = fileText(QAVD_MANUAL);
    for (const std::string& name : names) {
        EXPECT_NE(exposition.find("qav_events_total{battery=\"b1\",event=\"" + name + "\"} 0"), std::string::npos)
            << name;
        EXPECT_NE(manual.find(".SH EVENTS\n"), std::string::npos);
        EXPECT_NE(manual.find(".TP\n.B " + name + "\n", manual.find(".SH EVENTS\n")), std::string::npos) << name;
    }

    DevLog log = bindDevLog();
    if (log.sd < 0) SKIP_OR_FAIL_UNDER_CI(log.skipReason);
    SyslogOutput output("b1", false);
    const std::map<std::string, std::string> priorities = {
        {"commlost", "<28>"},  {"commok", "<29>"},     {"alert", "<28>"},      {"alertclear", "<29>"},
        {"fault", "<28>"},     {"faultclear", "<29>"}, {"lowbattery", "<28>"}, {"lowbatteryclear", "<29>"},
        {"outageend", "<29>"}, {"fsd", "<25>"}, {"replacebattery", "<28>"}, {"replacebatteryclear", "<29>"},
        {"weakcell", "<28>"}, {"weakcellclear", "<29>"}};
    for (const std::string& name : names) {
        output.event({"b1", name, "d", 1700000000});
        std::string record = nextRecord(log.sd, "qavd[");
        EXPECT_EQ(record.substr(0, 4), priorities.at(name)) << record;
        EXPECT_NE(record.find("b1: " + name + ": d"), std::string::npos) << record;
    }
    close(log.sd);
    unlink("/dev/log");
}
