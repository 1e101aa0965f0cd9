/*
 * toolrun.cpp - running kelpasswd as an administrator would: with arguments,
 * standard input or a pseudo-terminal.
 */
#include "toolrun.h"

#include <algorithm>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdexcept>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "confline.h"
#include "scrypt.h"

extern char **environ;

namespace kt {

namespace {

/* argv and envp built before the fork, so the child only execs. */
struct Exec {
    std::vector<std::string> strings;
    std::vector<char *> argv, envp;

    explicit Exec(const ToolOptions &opts)
    {
        std::vector<std::string> env;
        for (char **e = environ; *e != nullptr; e++) {
            std::string s(*e), name = s.substr(0, s.find('='));
            if (name != "SM_HOME" && name != "TMPDIR" && opts.env.count(name) == 0)
                env.push_back(s);
        }
        for (const auto &kv : opts.env)
            env.push_back(kv.first + "=" + kv.second);
        strings.push_back(KELPASSWD_PATH);
        strings.insert(strings.end(), opts.args.begin(), opts.args.end());
        size_t nargs = strings.size();
        strings.insert(strings.end(), env.begin(), env.end());
        for (size_t i = 0; i < strings.size(); i++)
            (i < nargs ? argv : envp).push_back(&strings[i][0]);
        argv.push_back(nullptr);
        envp.push_back(nullptr);
    }
};

/* In the child: limits, identity, then the program. Never returns. */
[[noreturn]] void execChild(const ToolOptions &opts, Exec &ex)
{
    umask(opts.umask);
    if (opts.fileSizeLimit >= 0) {
        struct rlimit rl = {(rlim_t)opts.fileSizeLimit, (rlim_t)opts.fileSizeLimit};
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
            _exit(125);
    }
    if (opts.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0))
        _exit(126);
    execve(KELPASSWD_PATH, ex.argv.data(), ex.envp.data());
    _exit(127);
}

/* The terminal's echo, as the job-control shell reports it. */
const char *echoState(const char *what)
{
    struct termios t;
    bool on = tcgetattr(0, &t) == 0 && (t.c_lflag & ECHO) != 0;
    if (strcmp(what, "stopped") == 0)
        return on ? "[stopped, echo on]\n" : "[stopped, echo off]\n";
    return on ? "[ended, echo on]\n" : "[ended, echo off]\n";
}

void say(const char *text)
{
    if (write(0, text, strlen(text)) < 0) {
        /* the test sees the missing text */
    }
}

/* In the child that forkpty made, the session leader: runs the tool as a
 * foreground job in a process group of its own (not orphaned, so a stop
 * signal stops it), reports each stop and continues the job, and ends
 * with the job's status. Both sides set the group and the terminal's
 * foreground, as shells do, so neither order of the two can fail. */
[[noreturn]] void jobShell(const ToolOptions &opts, Exec &ex)
{
    signal(SIGTTOU, SIG_IGN);
    pid_t job = fork();
    if (job < 0)
        _exit(124);
    if (job == 0) {
        setpgid(0, 0);
        tcsetpgrp(0, getpid());
        signal(SIGTTOU, SIG_DFL);
        execChild(opts, ex);
    }
    setpgid(job, job);
    tcsetpgrp(0, job);
    for (;;) {
        int st;
        if (waitpid(job, &st, WUNTRACED) < 0) {
            if (errno == EINTR)
                continue;
            _exit(123);
        }
        if (WIFSTOPPED(st)) {
            tcsetpgrp(0, getpgrp());
            say(echoState("stopped"));
            tcsetpgrp(0, job);
            kill(-job, SIGCONT);
            continue;
        }
        say(echoState("ended"));
        _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
    }
}

void makePipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
}

std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            s.append(buf, (size_t)n);
    close(fd);
    return s;
}

int waitStatus(pid_t pid)
{
    int st;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

} // namespace

ToolResult runTool(const ToolOptions &opts)
{
    Exec ex(opts);
    int out[2], err[2], in[2];
    makePipe(out);
    makePipe(err);
    makePipe(in);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        setsid(); /* no controlling terminal: /dev/tty cannot be opened */
        dup2(opts.input ? in[0] : devnull, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execChild(opts, ex);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    /* A few lines at most: the pipe holds them all. */
    if (opts.input && write(in[1], opts.input->data(), opts.input->size()) != (ssize_t)opts.input->size())
        throw std::runtime_error("cannot feed standard input");
    close(in[1]);
    ToolResult r;
    /* Outputs are a few lines each: reading one pipe after the other cannot
     * fill the second. */
    r.out = drain(out[0]);
    r.err = drain(err[0]);
    r.status = waitStatus(pid);
    return r;
}

TtyRun::TtyRun(const ToolOptions &opts)
{
    Exec ex(opts);
    int out[2], err[2];
    makePipe(out);
    makePipe(err);
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ < 0)
        throw std::runtime_error("forkpty failed");
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (opts.jobControl)
            jobShell(opts, ex);
        execChild(opts, ex);
    }
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
}

TtyRun::~TtyRun()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitStatus(pid_);
    }
    for (int fd : {master_, outFd_, errFd_})
        if (fd >= 0)
            close(fd);
}

bool TtyRun::expect(const std::string &text)
{
    for (;;) {
        size_t at = screen_.find(text, seen_);
        if (at != std::string::npos) {
            seen_ = at + text.size();
            return true;
        }
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return false;
        char buf[1024];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0)
            return false; /* EIO: the child has gone */
        screen_.append(buf, (size_t)n);
    }
}

void TtyRun::type(const std::string &text)
{
    if (write(master_, text.data(), text.size()) != (ssize_t)text.size())
        throw std::runtime_error("write to the terminal failed");
}

ToolResult TtyRun::finish()
{
    ToolResult r;
    r.out = drain(outFd_);
    r.err = drain(errFd_);
    outFd_ = errFd_ = -1;
    r.status = waitStatus(pid_);
    pid_ = -1;
    return r;
}

ConfHome::ConfHome() : dir(home / "config"), conf(dir + "/kelaudit.conf")
{
    chmod(home.path().c_str(), 0755);
    makeDirs(dir);
}

ConfHome::~ConfHome()
{
    chmod(dir.c_str(), 0755); /* a test may have locked it */
}

std::vector<std::string> ConfHome::entries() const
{
    return listDir(dir);
}

std::vector<std::string> listDir(const std::string &path)
{
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

ToolResult ConfHome::run(const std::vector<std::string> &args, ToolOptions opts) const
{
    opts.args = args;
    opts.env.emplace("SM_HOME", home.path());
    return runTool(opts);
}

std::string pathAfter(const std::string &message, const std::string &prefix)
{
    if (message.compare(0, prefix.size(), prefix) != 0)
        return "<no path>";
    return message.substr(prefix.size(), message.find_first_of(" \n", prefix.size()) - prefix.size());
}

std::string scrambled(std::string clear)
{
    scrypt(&clear[0], clear.c_str(), true);
    return clear;
}

std::string handlerPassword(const std::string &path)
{
    char line[LINE_SIZE], name[LINE_SIZE], value[LINE_SIZE];
    std::string password = "<none>";
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return "<no file>";
    while (fgets(line, sizeof line, f) != nullptr) {
        if (confParseLine(line, name, value) && strcasecmp(name, "password") == 0) {
            scrypt(value, value, false);
            password = value;
        }
    }
    fclose(f);
    return password;
}

} // namespace kt
