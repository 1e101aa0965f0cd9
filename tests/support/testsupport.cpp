/*
 * testsupport.cpp - helpers shared by the tests: temporary homes, files,
 * environment, running programs.
 */
#include "testsupport.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <ftw.h>
#include <unistd.h>

#include "kelsys.h"

namespace kt {

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kelXXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

static int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

TempDir::~TempDir()
{
    nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name)
{
    const char *old = getenv(name);
    hadOld_ = old != nullptr;
    if (hadOld_)
        old_ = old;
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (hadOld_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

void makeDirs(const std::string &path)
{
    for (size_t pos = 1; pos <= path.size(); pos++) {
        if (pos == path.size() || path[pos] == '/')
            mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << content;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> readLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void setMtime(const std::string &path, long seconds)
{
    struct timeval tv[2] = {{seconds, 0}, {seconds, 0}};
    if (utimes(path.c_str(), tv) != 0)
        throw std::runtime_error("utimes failed on " + path);
}

namespace clock {

static std::atomic<long long> nowMicros(0);
/* The monotonic clock moves forward with the time of day, never back: a
 * set to an earlier time steps the time of day alone, as an administrator
 * or a time service would. */
static std::atomic<long long> monoMicros(0);

static int fakeGettimeofday(struct timeval *tv)
{
    long long t = nowMicros.load();
    tv->tv_sec = (time_t)(t / 1000000);
    tv->tv_usec = (suseconds_t)(t % 1000000);
    return 0;
}

static int fakeMonotonic(struct timespec *ts)
{
    long long t = monoMicros.load();
    ts->tv_sec = (time_t)(t / 1000000);
    ts->tv_nsec = (long)(t % 1000000) * 1000;
    return 0;
}

void install(long seconds, long micros)
{
    nowMicros.store((long long)seconds * 1000000 + micros);
    monoMicros.store(1000000000LL);
    kelSys.gettimeofday = fakeGettimeofday;
    kelSys.monotonic = fakeMonotonic;
}

void set(long seconds, long micros)
{
    long long next = (long long)seconds * 1000000 + micros;
    long long delta = next - nowMicros.exchange(next);
    if (delta > 0)
        monoMicros.fetch_add(delta);
}

void advance(long seconds)
{
    nowMicros.fetch_add((long long)seconds * 1000000);
    monoMicros.fetch_add((long long)seconds * 1000000);
}

void uninstall()
{
    struct KelSysTable saved = kelSys;
    kelSysReset();
    saved.gettimeofday = kelSys.gettimeofday;
    saved.monotonic = kelSys.monotonic;
    kelSys = saved;
}

} // namespace clock

} // namespace kt

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>

namespace kt {

RunResult runProgram(const std::string &path, const std::vector<std::string> &args,
                     const std::vector<std::string> &env)
{
    RunResult r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> argStore{path};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argStore)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (const std::string &e : env)
            putenv(strdup(e.c_str()));
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *dest[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                dest[i]->append(buf, (size_t)n);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

int runInChild(const std::function<int()> &body, int guardSeconds)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        _exit(body());
    }
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited++) {
        if (waited == guardSeconds * 100) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace kt
