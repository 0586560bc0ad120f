// signals: SIGTERM, SIGINT, SIGHUP and SIGCHLD as readable events on a descriptor.
#include "signals.h"

#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <sys/signalfd.h>
#include <unistd.h>

Signals::Signals()
{
    // A peer that goes away is reported by write(), not by a signal.
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) return;
    sigset_t set;
    sigemptyset(&set);
    for (int number : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&set, number);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    descriptor = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

Signals::~Signals()
{
    if (descriptor >= 0) close(descriptor);
}

void Signals::take()
{
    signalfd_siginfo info{};
    while (descriptor >= 0 && read(descriptor, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) terminate = true;
        if (info.ssi_signo == SIGHUP) rotate = true;
    }
}
