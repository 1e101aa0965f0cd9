/*
 * loadoptions.cpp - the command line of "smhost load", and the options an
 * administrator's own configuration files settle.
 */
#include "loadoptions.h"

#include <algorithm>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelcommon.h"

namespace smhost {

bool Options::has(const char *option) const
{
    return std::find(given.begin(), given.end(), option) != given.end();
}

/* The password from the first line of path, without its line end: out of
 * sight of ps, unlike --db-password. */
bool readPasswordFile(const std::string &path, std::string &password, std::string &error)
{
    FILE *f = fopen(path.c_str(), "r");
    char line[LINE_SIZE];
    if (f == nullptr) {
        error = "cannot read the password file " + path + ": " + strerror(errno);
        return false;
    }
    bool got = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    line[got ? strcspn(line, "\r\n") : 0] = '\0';
    password = line;
    explicit_bzero(line, sizeof line);
    if (password.empty())
        error = "the password file " + path + " holds no password on its first line";
    return !password.empty();
}

bool parse(const std::vector<std::string> &args, Options &o, std::string &error)
{
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        o.given.push_back(a);
        if (a == "--create-table" || a == "--child" || a == "--db-down" || a == "--shared-table" ||
            a == "--keep") {
            (a == "--create-table" ? o.createTable
             : a == "--child"      ? o.child
             : a == "--db-down"    ? o.dbDown
             : a == "--keep"       ? o.keep
                                   : o.sharedTable) = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = "unknown option or missing value: " + a;
            return false;
        }
        const std::string &v = args[++i];
        char *end = nullptr;
        double n = strtod(v.c_str(), &end);
        bool number = !v.empty() && *end == '\0' && n >= 0;
        if (a == "--threads" && number && n >= 1 && n <= 256)
            o.threads = (int)n;
        else if (a == "--logins" && number && n >= 1)
            o.logins = (long)n, o.seconds = 0;
        else if (a == "--seconds" && number && n > 0)
            o.seconds = n, o.logins = 0;
        else if (a == "--rate" && number)
            o.rate = n;
        else if (a == "--trace-level" && number)
            o.traceLevel = (int)n;
        else if (a == "--max-queue" && number && n >= 1)
            o.maxQueue = (int)n;
        else if (a == "--retry-delay" && number)
            o.retryDelay = (int)n;
        else if (a == "--kill-after" && number && n > 0)
            o.killAfter = n;
        else if (a == "--drain-seconds" && number && n > 0)
            o.drainSeconds = n;
        else if (a == "--datasource")
            o.dataSource = v;
        else if (a == "--db-user")
            o.dbUser = v;
        else if (a == "--db-password")
            o.dbPassword = v;
        else if (a == "--db-password-file")
            o.dbPasswordFile = v;
        else if (a == "--status-file")
            o.statusFile = v;
        else if (a == "--table")
            o.table = v;
        else if (a == "--home")
            o.home = v;
        else if (a == "--lib-dir")
            o.libDir = v;
        else if (a == "--spool-dir")
            o.spoolDir = v;
        else if (a == "--spool-sync")
            o.spoolSync = v;
        else if (a == "--spool-max-mb" && number)
            o.spoolMaxMb = v;
        else if (a == "--reject-after" && number)
            o.rejectAfter = v;
        else if (a == "--batch-max" && number && n >= 1 && n <= 10000 && n == (long)n)
            o.batchMax = v;
        else if (a == "--run-id")
            o.runId = v;
        else if (a == "--acks")
            o.acks = v;
        else {
            error = "bad option " + a + " " + v;
            return false;
        }
    }
    return true;
}

/* The options that the files of the administrator's SM_HOME settle. */
bool refuseOverridden(const Options &o, const std::string &file, const std::vector<const char *> &options,
                      std::string &error)
{
    for (const char *option : options) {
        if (o.has(option)) {
            error = file + " was not written by smhost and is used as it is: leave out " + option;
            return false;
        }
    }
    return true;
}

} // namespace smhost
