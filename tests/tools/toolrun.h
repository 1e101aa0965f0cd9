/*
 * toolrun.h - runs the built kelpasswd as a child process: with its
 * streams captured apart, or at a pseudo-terminal that the test types into.
 */
#ifndef KEL_TOOLRUN_H
#define KEL_TOOLRUN_H

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

#include "testsupport.h"

namespace kt {

struct ToolResult {
    int status = -1; /* exit status; 128 + signal when killed */
    std::string out, err;
};

inline bool operator==(const ToolResult &a, const ToolResult &b)
{
    return a.status == b.status && a.out == b.out && a.err == b.err;
}

inline void PrintTo(const ToolResult &r, std::ostream *os)
{
    *os << "{status " << r.status << ", out \"" << r.out << "\", err \"" << r.err << "\"}";
}

struct ToolOptions {
    std::vector<std::string> args;
    /* Set in the child's environment; SM_HOME and TMPDIR are removed
     * unless given here. */
    std::map<std::string, std::string> env;
    bool unprivileged = false; /* as root, run as nobody (65534) */
    /* runTool only: fed to the child's standard input (else /dev/null). */
    std::optional<std::string> input;
    long fileSizeLimit = -1;   /* RLIMIT_FSIZE in bytes, SIGXFSZ ignored */
    mode_t umask = 022;
    /* TtyRun only: the tool runs as a job of a small shell that owns the
     * terminal, so that suspend really stops it. The shell shows
     * "[stopped, echo on]" (or "off") on the terminal when the tool stops,
     * continues it at once, and "[ended, echo on]" (or "off") when it
     * ends. */
    bool jobControl = false;
};

const uid_t NOBODY = 65534;

/* Without a controlling terminal and with stdin at /dev/null. */
ToolResult runTool(const ToolOptions &opts);

/* The tool at a pseudo-terminal: the prompts come on the terminal,
 * stdout and stderr still go to pipes of their own. */
class TtyRun {
public:
    explicit TtyRun(const ToolOptions &opts);
    ~TtyRun();
    /* Waits (10 s at most) for text in what the terminal showed after the
     * last text waited for. */
    bool expect(const std::string &text);
    void type(const std::string &text);
    ToolResult finish(); /* waits for the exit; reads stdout and stderr */
    const std::string &screen() const { return screen_; }

private:
    pid_t pid_ = -1;
    int master_ = -1, outFd_ = -1, errFd_ = -1;
    std::string screen_;
    size_t seen_ = 0;
};

/* A throwaway SM_HOME with its configuration folder, reachable by the
 * unprivileged child; kelaudit.conf itself is left to each test. */
struct ConfHome {
    TempDir home;
    std::string dir, conf;

    ConfHome();
    ~ConfHome();
    /* Names in the configuration folder, sorted. */
    std::vector<std::string> entries() const;
    ToolResult run(const std::vector<std::string> &args, ToolOptions opts = {}) const;
};

/* Names in a folder, sorted. */
std::vector<std::string> listDir(const std::string &path);

/* The path in message right after prefix, up to a blank or the newline
 * (the caller compares the whole message too). */
std::string pathAfter(const std::string &message, const std::string &prefix);

/* The password as scrambled by the tool. */
std::string scrambled(std::string clear);

/* The password the event handler would take from the file: the value of
 * the last password line, unscrambled; "<none>" without one. */
std::string handlerPassword(const std::string &path);

} // namespace kt

#endif
