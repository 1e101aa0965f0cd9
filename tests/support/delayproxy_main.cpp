/*
 * delayproxy_main.cpp - the loopback delay proxy as a program, for
 * scripts (bench/run.sh, the fleet scenario):
 *
 *   kel_delayproxy --to PORT --delay-us N [--listen PORT] [--seconds S]
 *
 * Prints the port it listens on, then runs until S seconds have passed
 * (default 600) or it is sent SIGTERM or SIGINT.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <thread>
#include <unistd.h>

#include "delayproxy.h"

static volatile sig_atomic_t stopAsked = 0;

static void onSignal(int)
{
    stopAsked = 1;
}

int main(int argc, char **argv)
{
    kt::DelayProxy::Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        long v = strtol(argv[i + 1], nullptr, 10);
        if (strcmp(argv[i], "--to") == 0)
            o.target = (int)v;
        else if (strcmp(argv[i], "--delay-us") == 0)
            o.delayMicros = v;
        else if (strcmp(argv[i], "--listen") == 0)
            o.listenPort = (int)v;
        else if (strcmp(argv[i], "--seconds") == 0)
            o.lifetimeSeconds = (int)v;
        else {
            fprintf(stderr, "kel_delayproxy: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (o.target <= 0 || o.target > 65535 || o.delayMicros < 0 || o.lifetimeSeconds < 1) {
        fprintf(stderr, "usage: kel_delayproxy --to PORT --delay-us N [--listen PORT] [--seconds S]\n");
        return 2;
    }
    kt::DelayProxy proxy(o);
    if (proxy.port() == 0) {
        fprintf(stderr, "kel_delayproxy: cannot listen\n");
        return 1;
    }
    printf("%d\n", proxy.port());
    fflush(stdout);
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    /* The proxy stops itself at the end of its lifetime; a signal stops it
     * earlier. */
    std::thread waiter([&proxy] { proxy.wait(); stopAsked = 1; });
    while (!stopAsked)
        usleep(100 * 1000);
    proxy.stop();
    waiter.join();
    return 0;
}
