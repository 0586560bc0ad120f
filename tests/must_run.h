// must_run: a test that cannot run here skips, saying why; under CI, where every test must run, it fails.
#ifndef QAV_TESTS_MUST_RUN_H
#define QAV_TESTS_MUST_RUN_H

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

// Whether this is a CI run ($CI set and not empty), which skips nothing.
inline bool underCi()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0';
}

// Skip the test, or under CI fail it, giving the reason.
#define SKIP_OR_FAIL_UNDER_CI(why)         \
    do {                                   \
        std::string skipWhy = (why);       \
        if (underCi()) FAIL() << skipWhy;  \
        GTEST_SKIP() << skipWhy;           \
    } while (false)

#endif
