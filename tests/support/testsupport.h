/*
 * testsupport.h - helpers shared by the test programs: temporary folders,
 * files, environment variables, and a clock that tests move by hand.
 */
#ifndef KEL_TESTSUPPORT_H
#define KEL_TESTSUPPORT_H

#include <functional>
#include <string>
#include <vector>

namespace kt {

/* A fresh folder under $TMPDIR (or /tmp), removed with everything in it
 * when the object goes. */
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

/* Sets (or, with unset, removes) an environment variable and puts the old
 * value back when the object goes. */
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::string old_;
    bool hadOld_;
};

void makeDirs(const std::string &path);
void writeFile(const std::string &path, const std::string &content);
std::string readFile(const std::string &path);
std::vector<std::string> readLines(const std::string &path);
bool fileExists(const std::string &path);
/* Sets a file's modification time, in whole seconds. */
void setMtime(const std::string &path, long seconds);

/*
 * The test clock: installed into the system table, it answers every time
 * query of the module under test until removed, the time of day and the
 * monotonic clock alike. advance moves both; set moves the monotonic clock
 * forward with the time of day, but not back: a step back of the time of
 * day. Safe to read from many
 * threads; set and advance it from the test's own thread.
 */
namespace clock {
void install(long seconds, long micros = 0);
void set(long seconds, long micros = 0);
void advance(long seconds);
void uninstall();
}

/* What a child program did: exit status (128 + signal when killed) and
 * its standard output and error. */
struct RunResult {
    int status = -1;
    std::string out, err;
};

/* Runs path with args, stdin at /dev/null, extra environment variables
 * set ("NAME=value"), and captures both streams. */
RunResult runProgram(const std::string &path, const std::vector<std::string> &args,
                     const std::vector<std::string> &env = {});

/* Runs body in a forked child of the test and returns its result as the
 * child's exit status, 128 + signal when a signal killed it (SIGPIPE is at
 * its default there), or -1 when it had not ended after guardSeconds (a
 * guard against a hang, not a timing assertion: the child is then killed).
 * For calls that could hang or kill the process they run in. */
int runInChild(const std::function<int()> &body, int guardSeconds = 30);

} // namespace kt

#endif
