/*
 * loadoptions.h - the command line of "smhost load".
 */
#ifndef KEL_LOADOPTIONS_H
#define KEL_LOADOPTIONS_H

#include <string>
#include <vector>

namespace smhost {

struct Options {
    int threads = 4;
    long logins = 1000;
    double seconds = 0;
    double rate = 0; /* logins per second over all threads; 0: as fast as possible */
    int traceLevel = 1;
    int maxQueue = 20;
    int retryDelay = 1;
    std::string dataSource, dbUser = "kel", dbPassword, table = "smaccesslog4";
    std::string home, libDir;
    std::string spoolDir, spoolSync, spoolMaxMb, rejectAfter, batchMax;
    std::string runId, acks;
    std::string statusFile, dbPasswordFile;
    bool createTable = false;
    bool sharedTable = false; /* write into a table holding rows of others */
    bool keep = false;        /* keep the work folder smhost made */
    bool child = false;  /* run for a --kill-after parent: no set-up, no check */
    double killAfter = 0;
    bool dbDown = false; /* SQLite: the database is made only after the kill */
    double drainSeconds = 120;
    std::vector<std::string> given; /* the options on the command line */

    bool has(const char *option) const;
};

/* The password from the first line of path, without its line end: out of
 * sight of ps, unlike --db-password. */
bool readPasswordFile(const std::string &path, std::string &password, std::string &error);

/* Fills o from the arguments; false with the reason in error. */
bool parse(const std::vector<std::string> &args, Options &o, std::string &error);

/* The options that the files of the administrator's SM_HOME settle: false
 * with the reason when one of them is given. */
bool refuseOverridden(const Options &o, const std::string &file, const std::vector<const char *> &options,
                      std::string &error);

} // namespace smhost

#endif
