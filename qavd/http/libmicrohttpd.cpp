// libmicrohttpd: the HTTP server library's functions, loaded only when HTTP is served.
#include "libmicrohttpd.h"

#include "library.h"

namespace {

// Load the library and every function; a message, or "" when all are there.
std::string load(Microhttpd* api)
{
    std::string problem;
    void* library = loadLibrary("libmicrohttpd.so.12", "the HTTP server library", &problem);
    if (library == nullptr) return problem;
    auto bind = [&](const char* name, auto* slot) { return bindFunction(library, name, slot, &problem); };
    bool ok = bind("MHD_start_daemon", &api->startDaemon) && bind("MHD_stop_daemon", &api->stopDaemon) &&
              bind("MHD_get_connection_values", &api->connectionValues) &&
              bind("MHD_create_response_from_buffer_with_free_callback_cls", &api->createResponse) &&
              bind("MHD_add_response_header", &api->addHeader) && bind("MHD_queue_response", &api->queueResponse) &&
              bind("MHD_destroy_response", &api->destroyResponse) &&
              bind("MHD_add_connection", &api->addConnection) && bind("MHD_run", &api->run) &&
              bind("MHD_get_timeout", &api->timeout) && bind("MHD_get_daemon_info", &api->daemonInfo) &&
              bind("MHD_get_connection_info", &api->connectionInfo) &&
              bind("MHD_lookup_connection_value", &api->lookupValue) &&
              bind("MHD_suspend_connection", &api->suspendConnection) &&
              bind("MHD_resume_connection", &api->resumeConnection);
    // The library stays loaded for the life of the process.
    return ok ? "" : problem;
}

} // namespace

const Microhttpd* loadMicrohttpd(std::string* problem)
{
    return loadOnce(load, problem);
}
