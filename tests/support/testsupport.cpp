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

static int fakeGettimeofday(struct timeval *tv)
{
    long long t = nowMicros.load();
    tv->tv_sec = (time_t)(t / 1000000);
    tv->tv_usec = (suseconds_t)(t % 1000000);
    return 0;
}

void install(long seconds, long micros)
{
    set(seconds, micros);
    kelSys.gettimeofday = fakeGettimeofday;
}

void set(long seconds, long micros)
{
    nowMicros.store((long long)seconds * 1000000 + micros);
}

void advance(long seconds)
{
    nowMicros.fetch_add((long long)seconds * 1000000);
}

void uninstall()
{
    struct KelSysTable saved = kelSys;
    kelSysReset();
    saved.gettimeofday = kelSys.gettimeofday;
    kelSys = saved;
}

} // namespace clock

} // namespace kt
