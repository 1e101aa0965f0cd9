/*
 * main.cpp - the command line of smhost, the simulated policy server.
 */
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

#include "kelversion.h"
#include "smhost.h"

/* The usage on out; status is what smhost then exits with. */
static int usage(FILE *out, int status)
{
    fprintf(out, "usage: smhost check [--home DIR] [--params STRING] [--lib-dir DIR]\n"
                 "       smhost demo [--home DIR] [--lib-dir DIR] [--users FILE]\n"
                 "       smhost load [--threads N] [--logins N | --seconds S] [--rate N] [--datasource DS]\n"
                 "                   [--db-user U] [--db-password P | --db-password-file FILE] [--table T]\n"
                 "                   [--create-table] [--shared-table] [--max-queue N] [--retry-delay N]\n"
                 "                   [--spool-dir DIR] [--spool-sync MODE] [--spool-max-mb N] [--reject-after N]\n"
                 "                   [--batch-max N] [--status-file PATH] [--kill-after S [--db-down]]\n"
                 "                   [--drain-seconds S]\n"
                 "                   [--trace-level N] [--home DIR | --keep] [--lib-dir DIR]\n"
                 "       smhost --help\n"
                 "       smhost --version\n");
    return status;
}

static int usage(void)
{
    return usage(stderr, 1);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)
        return usage(stdout, 0);
    if (strcmp(argv[1], "--version") == 0) {
        printf("smhost (kel) %s\n", KEL_VERSION);
        return 0;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    if (strcmp(argv[1], "check") == 0)
        return smhost::runCheck(args);
    if (strcmp(argv[1], "demo") == 0)
        return smhost::runDemo(args);
    if (strcmp(argv[1], "load") == 0)
        return smhost::runLoad(args);
    fprintf(stderr, "smhost: unknown command '%s'\n", argv[1]);
    usage();
    return 1;
}
