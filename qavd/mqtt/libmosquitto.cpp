// libmosquitto: the MQTT client library's functions, loaded only when MQTT is used.
#include "libmosquitto.h"

#include <dlfcn.h>

namespace {

constexpr const char* libraryName = "libmosquitto.so.1";

// Point slot at the library's function name; false when it has none.
template <typename Function> bool bind(void* library, const char* name, Function* slot)
{
    void* symbol = dlsym(library, name);
    // POSIX guarantees that dlsym's result converts to the function's pointer type.
    *slot = reinterpret_cast<Function>(symbol);
    return symbol != nullptr;
}

// Load the library and every function; a message, or "" when all are there.
std::string load(Mosquitto* api)
{
    void* library = dlopen(libraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return std::string("cannot load the MQTT client library: ") + dlerror();
    bool ok = bind(library, "mosquitto_lib_init", &api->libInit) &&
              bind(library, "mosquitto_lib_cleanup", &api->libCleanup) &&
              bind(library, "mosquitto_new", &api->create) && bind(library, "mosquitto_destroy", &api->destroy) &&
              bind(library, "mosquitto_threaded_set", &api->threadedSet) &&
              bind(library, "mosquitto_will_set", &api->willSet) &&
              bind(library, "mosquitto_username_pw_set", &api->usernamePwSet) &&
              bind(library, "mosquitto_tls_set", &api->tlsSet) &&
              bind(library, "mosquitto_connect_callback_set", &api->connectCallbackSet) &&
              bind(library, "mosquitto_disconnect_callback_set", &api->disconnectCallbackSet) &&
              bind(library, "mosquitto_log_callback_set", &api->logCallbackSet) &&
              bind(library, "mosquitto_connect_async", &api->connectAsync) &&
              bind(library, "mosquitto_loop", &api->loop) && bind(library, "mosquitto_publish", &api->publish) &&
              bind(library, "mosquitto_disconnect", &api->disconnect) &&
              bind(library, "mosquitto_strerror", &api->strerror) &&
              bind(library, "mosquitto_connack_string", &api->connackString) &&
              bind(library, "mosquitto_validate_utf8", &api->validateUtf8);
    // The library stays loaded for the life of the process.
    return ok ? "" : std::string(libraryName) + " lacks a function qavd needs: " + dlerror();
}

} // namespace

const Mosquitto* loadMosquitto(std::string* problem)
{
    static Mosquitto api;
    static const std::string error = load(&api);
    if (!error.empty()) {
        *problem = error;
        return nullptr;
    }
    return &api;
}
