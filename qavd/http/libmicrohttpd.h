// libmicrohttpd: the HTTP server library's functions, loaded only when HTTP is served.
#ifndef QAVD_LIBMICROHTTPD_H
#define QAVD_LIBMICROHTTPD_H

#include <microhttpd.h>

#include <string>

/**
 * The libmicrohttpd functions the HTTP server calls. The library and the TLS
 * libraries it brings (about 3 MiB resident) are loaded at run time, so a
 * qavd that serves no HTTP neither maps nor relocates them.
 */
struct Microhttpd {
    decltype(&MHD_start_daemon) startDaemon = nullptr;
    decltype(&MHD_stop_daemon) stopDaemon = nullptr;
    decltype(&MHD_get_connection_values) connectionValues = nullptr;
    decltype(&MHD_create_response_from_buffer_with_free_callback_cls) createResponse = nullptr;
    decltype(&MHD_add_response_header) addHeader = nullptr;
    decltype(&MHD_queue_response) queueResponse = nullptr;
    decltype(&MHD_destroy_response) destroyResponse = nullptr;
    decltype(&MHD_add_connection) addConnection = nullptr;
    decltype(&MHD_run) run = nullptr;
    decltype(&MHD_get_timeout) timeout = nullptr;
    decltype(&MHD_get_daemon_info) daemonInfo = nullptr;
    decltype(&MHD_get_connection_info) connectionInfo = nullptr;
    decltype(&MHD_lookup_connection_value) lookupValue = nullptr;
    decltype(&MHD_suspend_connection) suspendConnection = nullptr;
    decltype(&MHD_resume_connection) resumeConnection = nullptr;
};

/**
 * The library's functions, loading libmicrohttpd.so.12 on the first call.
 *
 * @param problem Receives a message when the library or a function is missing.
 * @return The functions, or nullptr.
 */
const Microhttpd* loadMicrohttpd(std::string* problem);

#endif
