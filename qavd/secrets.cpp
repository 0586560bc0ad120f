// secrets: files read at start, those holding secrets above all, and systemd's credentials.
#include "secrets.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string credentialPath(const std::string& name)
{
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (dir == nullptr || *dir == '\0') return "";
    std::string path = std::string(dir) + "/" + name;
    return access(path.c_str(), F_OK) == 0 ? path : "";
}

std::string exposedSecret(const std::string& path)
{
    struct stat file {};
    if (stat(path.c_str(), &file) != 0 || (file.st_mode & S_IROTH) == 0) return "";
    return path + " holds a secret but every user may read it; chmod o-r, or pass it with LoadCredential=";
}

namespace {

// Open a file read at start without blocking; "" with *fd set, or what is wrong.
std::string openStartFile(const std::string& path, bool secret, int* fd)
{
    *fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (*fd < 0) return "cannot read " + path + ": " + std::strerror(errno);
    struct stat file {};
    std::string problem;
    if (fstat(*fd, &file) != 0) problem = "cannot read " + path + ": " + std::strerror(errno);
    else if (!S_ISREG(file.st_mode)) problem = path + " is not a regular file";
    else if (secret && ((file.st_mode & S_IWOTH) != 0 || ((file.st_mode & S_IWGRP) != 0 && file.st_gid != 0))) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.st_mode & 07777));
        problem = path + " holds passwords but others may change it (mode " + mode + "); chmod go-w it";
    }
    if (!problem.empty()) close(*fd);
    return problem;
}

} // namespace

std::string readStartFile(const std::string& path, std::size_t limit, bool secret, std::string* text)
{
    int fd = -1;
    std::string problem = openStartFile(path, secret, &fd);
    if (!problem.empty()) return problem;
    text->assign(limit + 1, '\0');
    std::size_t got = 0;
    ssize_t n = 0;
    while (got < text->size()) {
        n = read(fd, text->data() + got, text->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    int error = errno;
    close(fd);
    text->resize(got);
    return n < 0 ? "cannot read " + path + ": " + std::strerror(error) : "";
}

CLI::Validator startFile()
{
    return {[](const std::string& path) {
                int fd = -1;
                std::string problem = openStartFile(path, false, &fd);
                if (problem.empty()) close(fd);
                return problem;
            },
            ""};
}
