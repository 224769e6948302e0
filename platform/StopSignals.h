#pragma once
// SIGINT and SIGTERM end the command-line programs through sigwait. They are
// blocked before any other thread starts, so every thread inherits the mask
// and only the waiting one ever takes them.

#include <pthread.h>

#include <csignal>

// Blocks both signals in the calling thread; returns the set to wait on.
inline sigset_t BlockStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    return stop;
}
