/*
 * main.cpp - the command line of smhost, the simulated policy server.
 */
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

#include "smhost.h"

static int usage(void)
{
    fprintf(stderr, "usage: smhost demo [--home DIR] [--lib-dir DIR] [--users FILE]\n"
                    "       smhost load [--threads N] [--logins N | --seconds S] [--rate N] [--datasource DS]\n"
                    "                   [--db-user U] [--db-password P] [--table T] [--create-table]\n"
                    "                   [--max-queue N] [--retry-delay N] [--spool-dir DIR] [--spool-sync MODE]\n"
                    "                   [--spool-max-mb N] [--reject-after N] [--kill-after S [--db-down]]\n"
                    "                   [--drain-seconds S] [--trace-level N] [--home DIR] [--lib-dir DIR]\n");
    return 1;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::vector<std::string> args(argv + 2, argv + argc);
    if (strcmp(argv[1], "demo") == 0)
        return smhost::runDemo(args);
    if (strcmp(argv[1], "load") == 0)
        return smhost::runLoad(args);
    fprintf(stderr, "smhost: unknown command '%s'\n", argv[1]);
    usage();
    return 1;
}
