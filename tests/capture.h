// capture: run a piece of code and collect what it writes to stdout and stderr.
#ifndef QAV_TESTS_CAPTURE_H
#define QAV_TESTS_CAPTURE_H

#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>

// Text written to the two standard streams while a body ran.
struct Captured {
    std::string out;
    std::string err;
};

// Redirect descriptor fd into a temporary file; returns the saved original.
inline int redirectInto(int fd, std::FILE* file)
{
    int saved = dup(fd);
    dup2(fileno(file), fd);
    return saved;
}

// Everything a temporary file holds.
inline std::string contentsOf(std::FILE* file)
{
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

// Run body with descriptors 1 and 2 captured, stdio buffers flushed around it.
inline Captured capture(const std::function<void()>& body)
{
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* outFile = std::tmpfile();
    std::FILE* errFile = std::tmpfile();
    int savedOut = redirectInto(1, outFile);
    int savedErr = redirectInto(2, errFile);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    return {contentsOf(outFile), contentsOf(errFile)};
}

#endif
