// libmosquitto: the MQTT client library's functions, loaded only when MQTT is used.
#ifndef QAVD_LIBMOSQUITTO_H
#define QAVD_LIBMOSQUITTO_H

#include <mosquitto.h>

#include <string>

/**
 * The libmosquitto functions the MQTT output calls. The library (and the TLS
 * libraries it pulls in) is loaded at run time, so a qavd without
 * --mqtt-broker neither maps nor relocates them.
 */
struct Mosquitto {
    decltype(&mosquitto_lib_init) libInit = nullptr;
    decltype(&mosquitto_lib_cleanup) libCleanup = nullptr;
    decltype(&mosquitto_new) create = nullptr;
    decltype(&mosquitto_destroy) destroy = nullptr;
    decltype(&mosquitto_threaded_set) threadedSet = nullptr;
    decltype(&mosquitto_will_set) willSet = nullptr;
    decltype(&mosquitto_username_pw_set) usernamePwSet = nullptr;
    decltype(&mosquitto_tls_set) tlsSet = nullptr;
    decltype(&mosquitto_connect_callback_set) connectCallbackSet = nullptr;
    decltype(&mosquitto_disconnect_callback_set) disconnectCallbackSet = nullptr;
    decltype(&mosquitto_publish_callback_set) publishCallbackSet = nullptr;
    decltype(&mosquitto_log_callback_set) logCallbackSet = nullptr;
    decltype(&mosquitto_connect_async) connectAsync = nullptr;
    decltype(&mosquitto_loop) loop = nullptr;
    decltype(&mosquitto_socket) socket = nullptr;
    decltype(&mosquitto_publish) publish = nullptr;
    decltype(&mosquitto_disconnect) disconnect = nullptr;
    decltype(&mosquitto_strerror) strerror = nullptr;
    decltype(&mosquitto_connack_string) connackString = nullptr;
    decltype(&mosquitto_validate_utf8) validateUtf8 = nullptr;
};

/**
 * The library's functions, loading libmosquitto.so.1 on the first call.
 *
 * @param problem Receives a message when the library or a function is missing.
 * @return The functions, or nullptr.
 */
const Mosquitto* loadMosquitto(std::string* problem);

#endif
