/*
 * benchutil.h - what the benchmark programs share: a throwaway SM_HOME
 * with keltrace.conf, small file helpers, and an access event that owns
 * its texts.
 */
#ifndef KEL_BENCHUTIL_H
#define KEL_BENCHUTIL_H

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "accessfields.h"
#include "smapi.h"

namespace kb {

inline void writeFile(const std::string &path, const std::string &body)
{
    std::ofstream f(path, std::ios::trunc);
    f << body;
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

inline std::string readFile(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

/* A fresh SM_HOME with config/, data/ and log/, removed at the end. The
 * trace log is <home>/log/keltrace.log. */
class Home {
public:
    Home()
    {
        const char *tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kelbench.XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
        mkdir(configDir().c_str(), 0700);
        mkdir((path_ + "/data").c_str(), 0700);
        mkdir((path_ + "/log").c_str(), 0700);
        setenv("SM_HOME", path_.c_str(), 1);
    }
    ~Home()
    {
        std::string cmd = "rm -rf '" + path_ + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    Home(const Home &) = delete;
    Home &operator=(const Home &) = delete;

    const std::string &path() const { return path_; }
    std::string configDir() const { return path_ + "/config"; }
    std::string logPath() const { return path_ + "/log/keltrace.log"; }
    std::string dataPath(const std::string &name) const { return path_ + "/data/" + name; }

    /* Writes keltrace.conf with a modification time newer than any before,
     * so that the trace module reads it at its next look. */
    void traceConf(int level, long maxsize = 2000000000L)
    {
        std::string conf = configDir() + "/keltrace.conf";
        writeFile(conf, "file = " + logPath() + "\nlevel = " + std::to_string(level) +
                            "\nmaxsize = " + std::to_string(maxsize) + "\n");
        struct timeval tv[2] = {{++mtime_, 0}, {mtime_, 0}};
        utimes(conf.c_str(), tv);
    }

private:
    std::string path_;
    long mtime_ = 1000000000L;
};

/* An access event that owns its texts, filled as the load driver fills it. */
class Event {
public:
    explicit Event(const std::string &user, const std::string &txn)
    {
        const char *fixed[15] = {"loadagent", "", "192.0.2.20", "", "domain-oid-0001",
                                 "realm-protected", "realm-oid-0001", "ldap-dir", "ldap.example:389",
                                 "LDAP:", "www.example", "/protected/index.html", "GET", "",
                                 "accepted"};
        for (int i = 0; i < 15; i++)
            texts_[i] = fixed[i];
        texts_[1] = "session-0123456789abcdef0123456789abcdef";
        texts_[3] = user;
        texts_[13] = txn;
        for (int i = 0; i < ACCESS_FIELD_COUNT; i++)
            *accessFieldSlot(&rec_, i) = &texts_[i][0];
        rec_.nVersion = 1;
        rec_.nCurrentTime = 1700000000;
        rec_.nReason = 0;
    }
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    const SmLog_Access_s *get() const { return &rec_; }
    const std::string &text(int i) const { return texts_[i]; }

private:
    std::string texts_[15];
    SmLog_Access_s rec_{};
};

} // namespace kb

#endif
