// libmosquitto: the MQTT client library's functions, loaded only when MQTT is used.
#include "libmosquitto.h"

#include "library.h"

namespace {

// Load the library and every function; a message, or "" when all are there.
std::string load(Mosquitto* api)
{
    std::string problem;
    void* library = loadLibrary("libmosquitto.so.1", "the MQTT client library", &problem);
    if (library == nullptr) return problem;
    auto bind = [&](const char* name, auto* slot) { return bindFunction(library, name, slot, &problem); };
    bool ok = bind("mosquitto_lib_init", &api->libInit) && bind("mosquitto_lib_cleanup", &api->libCleanup) &&
              bind("mosquitto_new", &api->create) && bind("mosquitto_destroy", &api->destroy) &&
              bind("mosquitto_threaded_set", &api->threadedSet) && bind("mosquitto_will_set", &api->willSet) &&
              bind("mosquitto_username_pw_set", &api->usernamePwSet) && bind("mosquitto_tls_set", &api->tlsSet) &&
              bind("mosquitto_connect_callback_set", &api->connectCallbackSet) &&
              bind("mosquitto_disconnect_callback_set", &api->disconnectCallbackSet) &&
              bind("mosquitto_publish_callback_set", &api->publishCallbackSet) &&
              bind("mosquitto_log_callback_set", &api->logCallbackSet) &&
              bind("mosquitto_connect_async", &api->connectAsync) && bind("mosquitto_loop", &api->loop) &&
              bind("mosquitto_socket", &api->socket) &&
              bind("mosquitto_publish", &api->publish) && bind("mosquitto_disconnect", &api->disconnect) &&
              bind("mosquitto_strerror", &api->strerror) && bind("mosquitto_connack_string", &api->connackString) &&
              bind("mosquitto_validate_utf8", &api->validateUtf8);
    // The library stays loaded for the life of the process.
    return ok ? "" : problem;
}

} // namespace

const Mosquitto* loadMosquitto(std::string* problem)
{
    return loadOnce(load, problem);
}
