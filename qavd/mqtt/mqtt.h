// mqtt: publish the battery's state, availability and events to an MQTT broker.
#ifndef QAVD_MQTT_H
#define QAVD_MQTT_H

#include "output.h"
#include "site.h"

#include <functional>
#include <memory>
#include <string>

namespace CLI {
class App;
}

/** What --mqtt-* set. MQTT is off while host is empty. */
struct MqttOptions {
    std::string host;                              ///< The broker's host name or address.
    int port = 0;                                  ///< The broker's port; 0 for 1883, or 8883 with TLS.
    std::string username;                          ///< Empty for none.
    std::string password;                          ///< The first line of --mqtt-password-file.
    std::string cafile;                            ///< CA certificates for TLS; empty for plain TCP.
    std::string topicPrefix = "qav";               ///< First levels of the state, availability and event topics.
    std::string discoveryPrefix = "homeassistant"; ///< First level of the discovery topics.
    bool discovery = true;                         ///< Publish Home Assistant discovery configs.
    double lowBattery = 20;                        ///< One battery's --low-battery (the site's batteries carry their own).
    std::string pageUrl;                           ///< One battery's page for the device's link; "" for none.
    double lowRuntime = 0;                         ///< One battery's --low-runtime.
};

/**
 * Register the --mqtt-* options on @p app, storing into @p options.
 *
 * The broker address and the password file are checked while parsing: a
 * malformed address, or a password file that cannot be read or has an empty
 * first line, fails the parse with a message naming the option.
 */
void addMqttOptions(CLI::App& app, MqttOptions& options);

/**
 * Split "HOST[:PORT]" ("[V6]:PORT" for an IPv6 address) into @p options' host and port.
 *
 * @return An error message, or "" when the address is well formed.
 */
std::string parseBrokerAddress(const std::string& address, MqttOptions* options);

/**
 * The password in a password file: its first line without the line end.
 *
 * @return false with a message in @p error when the file cannot be read or the line is empty.
 */
bool readPasswordFile(const std::string& path, std::string* password, std::string* error);

/** Where the exporter reports connection problems: a syslog priority and a text. */
using MqttLog = std::function<void(int priority, const std::string& message)>;

/**
 * Start the MQTT output of the batteries of @p site over one connection: it
 * connects in the background at once, and its calls never wait for the broker.
 * Each battery publishes under "PREFIX/NAME/" and is a Home Assistant device of
 * its own (its settings' low-battery and low-runtime, batteryPageUrl() as its
 * link). Each battery's health goes to "PREFIX/NAME/health" from the
 * connection's thread, once a minute and at once when its replace flag or weak
 * cell changes, so that rendering it never costs a poll loop. With several, "PREFIX/SITE/connection" says "online" while connected
 * and is the connection's last will, and every entity is available only while
 * both it and the battery's availability say "online". With one battery, the
 * battery's availability topic is the will, as ever. Problems with the broker
 * go to @p log (the system log and standard error when empty).
 *
 * @param options Parsed values; host must not be empty. lowBattery, lowRuntime and pageUrl are not used.
 * @param site    The batteries; calls for a battery it does not name are ignored.
 * @param problem Receives a message when the output cannot start (e.g. an unusable CA file).
 * @param log     Where to report connection problems.
 * @return The output, or nullptr with @p problem set.
 */
std::unique_ptr<Output> startMqtt(const MqttOptions& options, const Site& site, std::string* problem,
                                  MqttLog log = {});

/**
 * Start the MQTT output of the one battery @p name, with options' lowBattery,
 * lowRuntime and pageUrl as its settings: it connects in the background at
 * once, and its calls never wait for the broker. Problems with the broker go
 * to @p log (the system log and standard error when empty).
 *
 * @param options Parsed values; host must not be empty.
 * @param name    The battery's name.
 * @param problem Receives a message when the output cannot start (e.g. an unusable CA file).
 * @param log     Where to report connection problems.
 * @return The output, or nullptr with @p problem set.
 */
std::unique_ptr<Output> startMqtt(const MqttOptions& options, const std::string& name, std::string* problem,
                                  MqttLog log = {});

/**
 * Start the MQTT output when --mqtt-broker was given and add it to @p outputs;
 * @p site gives the batteries and their settings.
 *
 * @return false with a message in @p problem when it cannot start.
 */
bool addMqttOutput(Outputs& outputs, const MqttOptions& options, const Site& site, std::string* problem);

#endif
