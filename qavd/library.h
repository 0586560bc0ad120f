// library: C libraries that an exporter loads at run time, only when it is used.
#ifndef QAVD_LIBRARY_H
#define QAVD_LIBRARY_H

#include <dlfcn.h>

#include <string>

/**
 * Load a shared library for the life of the process.
 *
 * @param name    Its file name, such as "libmosquitto.so.1".
 * @param purpose What it is, for the message: "the MQTT client library".
 * @param problem Receives a message when it cannot be loaded. Must not be null.
 * @return The library's handle, or null.
 */
inline void* loadLibrary(const char* name, const char* purpose, std::string* problem)
{
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) *problem = std::string("cannot load ") + purpose + ": " + dlerror();
    return library;
}

/**
 * Point @p slot at the function @p name of @p library.
 *
 * @param problem Receives a message naming the function when it is missing. Must not be null.
 * @return false when the library has no such function.
 */
template <typename Function> bool bindFunction(void* library, const char* name, Function* slot, std::string* problem)
{
    void* symbol = dlsym(library, name);
    // POSIX guarantees that dlsym's result converts to the function's pointer type.
    *slot = reinterpret_cast<Function>(symbol);
    if (symbol == nullptr) *problem = std::string("the library lacks a function qavd needs: ") + name;
    return symbol != nullptr;
}

/**
 * A library's table of functions, filled by @p load on the first call for its type.
 *
 * @param load    Loads the library and fills the table; returns a message, or "" when all is there.
 * @param problem Receives that message when loading failed (at this or an earlier call). Must not be null.
 * @return The table, or null.
 */
template <typename Api> const Api* loadOnce(std::string (*load)(Api*), std::string* problem)
{
    static Api api;
    static const std::string error = load(&api);
    if (!error.empty()) {
        *problem = error;
        return nullptr;
    }
    return &api;
}

#endif
