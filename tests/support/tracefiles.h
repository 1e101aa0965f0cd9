/*
 * tracefiles.h - a throwaway SM_HOME for tests: config/ and log/,
 * keltrace.conf pointing the trace log into log/, and the log read back as
 * messages (the part after the "pid tid: " prefix).
 *
 * Tests of a module linked into the test program call traceReset() first so
 * that the module reads this keltrace.conf at its next trace call.
 */
#ifndef KEL_TRACEFILES_H
#define KEL_TRACEFILES_H

#include <memory>
#include <string>
#include <vector>

#include "testsupport.h"

namespace kt {

class TraceFiles {
public:
    /* level: the trace level to configure. */
    explicit TraceFiles(int level = 5)
        : env_("SM_HOME", home_.path().c_str())
    {
        makeDirs(configDir());
        makeDirs(home_ / "log");
        setLevel(level);
    }

    const std::string &home() const { return home_.path(); }
    std::string configDir() const { return home_ / "config"; }
    std::string logPath() const { return home_ / "log/keltrace.log"; }

    /* Rewrites keltrace.conf with a newer modification time; a module sees
     * it at its first trace call two or more seconds after its last look. */
    void setLevel(int level)
    {
        std::string conf = configDir() + "/keltrace.conf";
        writeFile(conf, "file = " + logPath() + "\nlevel = " + std::to_string(level) +
                            "\nmaxsize = 100000000\n");
        setMtime(conf, ++mtime_);
    }

    /* Writes a file into the configuration folder. */
    void writeConfig(const std::string &name, const std::string &body) const
    {
        writeFile(configDir() + "/" + name, body);
    }

    std::vector<std::string> messages() const
    {
        std::vector<std::string> out;
        for (const std::string &l : readLines(logPath())) {
            size_t p = l.find(": ");
            out.push_back(p == std::string::npos ? l : l.substr(p + 2));
        }
        return out;
    }

    /* True when some message equals text. */
    bool has(const std::string &text) const
    {
        for (const std::string &m : messages())
            if (m == text)
                return true;
        return false;
    }

    /* Number of messages equal to text. */
    int count(const std::string &text) const
    {
        int n = 0;
        for (const std::string &m : messages())
            n += m == text;
        return n;
    }

    /* Empties the log (keeps the file). */
    void clear() const { writeFile(logPath(), ""); }

private:
    TempDir home_;
    ScopedEnv env_;
    long mtime_ = 1000;
};

} // namespace kt

#endif
