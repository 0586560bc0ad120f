// library: C libraries that an exporter loads at run time, only when it is used.
#ifndef QAVD_LIBRARY_H
#define QAVD_LIBRARY_H

#include <dlfcn.h>

#include <cctype>
#include <string>

/**
 * The Debian package that ships a shared library, named the way Debian's library
 * packages are: "libNAME.so.N" is in libNAMEN, or libNAME-N when NAME ends in a digit.
 *
 * @param soname The library's file name, such as "libmosquitto.so.1".
 * @return The package's name, such as "libmosquitto1"; "" for a name of another form.
 */
inline std::string debianPackageOf(const std::string& soname)
{
    std::size_t so = soname.find(".so.");
    std::string version = so == std::string::npos ? "" : soname.substr(so + 4);
    if (soname.rfind("lib", 0) != 0 || so <= 3 || version.empty() ||
        version.find_first_not_of("0123456789") != std::string::npos)
        return "";
    std::string package = soname.substr(0, so);
    for (char& c : package) c = static_cast<char>(c == '_' ? '-' : std::tolower(static_cast<unsigned char>(c)));
    bool endsInDigit = std::isdigit(static_cast<unsigned char>(package.back())) != 0;
    return package + (endsInDigit ? "-" : "") + version;
}

/**
 * Load a shared library for the life of the process.
 *
 * @param name    Its file name, such as "libmosquitto.so.1".
 * @param purpose What it is, for the message: "the MQTT client library".
 * @param problem Receives a message when it cannot be loaded, naming the package to
 *                install. Must not be null.
 * @return The library's handle, or null.
 */
inline void* loadLibrary(const char* name, const char* purpose, std::string* problem)
{
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        *problem = std::string("cannot load ") + purpose + ": " + dlerror();
        std::string package = debianPackageOf(name);
        if (!package.empty()) *problem += " (install the Debian package " + package + ")";
    }
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
