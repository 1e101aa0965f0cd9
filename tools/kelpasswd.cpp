/*
 * kelpasswd.cpp - the command line and the password entry of kelpasswd:
 * reads the password (argument or two no-echo entries at the terminal),
 * scrambles it in place, makes sure the event handler will read it back,
 * and hands it to the file rewrite (kelpasswd_file).
 *
 * Single-threaded. The clear password only ever lives in the buffers of
 * this file and in the caller's argv; each is wiped as soon as it is no
 * longer needed, so no clear copy outlives the scrambling.
 *
 * While a prompt waits, echo is off and the terminal's signal keys work as
 * at any other prompt: the signal handlers below put echo back before the
 * program ends or stops, and take it off again when it goes on. They touch
 * only the prompt's state, the password buffers and async-signal-safe
 * calls.
 */
#include "kelpasswd.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "confline.h"
#include "kelsys.h"
#include "scrypt.h"

#define USAGE "Usage: kelpasswd {password}\n"

static char passwdBuffer[PASSWD_SIZE];  /* the password, scrambled in place */
static char passwdConfirm[PASSWD_SIZE]; /* the second entry */

/* The prompt that waits, for the signal handlers: its terminal (-1 when
 * none, or when its modes cannot be had and there is nothing to restore),
 * its text, the terminal's modes with and without echo, and whether echo
 * is off. Set only while the signals below are blocked. */
static int promptTty = -1;
static const char *promptText = "";
static struct termios promptSaved, promptQuiet;
static volatile sig_atomic_t promptQuietOn = 0;
/* Set when the prompt was shown again: what was read so far is dropped. */
static volatile sig_atomic_t promptRestarted = 0;

/* Signals that end the program at the prompt (exit status 1). */
static const int endSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
/* Every signal the prompt handles, with the dispositions found before. */
static const int promptSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGCONT};
#define PROMPT_SIGNAL_COUNT (sizeof promptSignals / sizeof promptSignals[0])
static struct sigaction promptOldActions[PROMPT_SIGNAL_COUNT];

void passwdWipe(void *buf, size_t size)
{
    explicit_bzero(buf, size);
}

/* Writes all of text to fd, going on after a partial write. Safe in a
 * signal handler. */
static void writeAll(int fd, const char *text)
{
    size_t left = strlen(text);

    while (left > 0) {
        ssize_t n = kelSys.write(fd, text, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        left -= (size_t)n;
    }
}

/* Echo back on, anything typed dropped (it must not reach whoever reads
 * the terminal next), and the cursor on a new line. */
static void promptEchoOn(void)
{
    if (promptTty >= 0 && promptQuietOn) {
        tcsetattr(promptTty, TCSAFLUSH, &promptSaved);
        promptQuietOn = 0;
        writeAll(promptTty, "\n");
    }
}

/* Echo off again after a stop, and the prompt shown anew: the line typed
 * before the stop was dropped with echo on. */
static void promptResume(void)
{
    if (promptTty >= 0 && !promptQuietOn) {
        tcsetattr(promptTty, TCSAFLUSH, &promptQuiet);
        promptQuietOn = 1;
        promptRestarted = 1;
        writeAll(promptTty, promptText);
    }
}

static void onEndSignal(int)
{
    promptEchoOn();
    passwdWipe(passwdBuffer, sizeof passwdBuffer);
    passwdWipe(passwdConfirm, sizeof passwdConfirm);
    _exit(1);
}

static void catchSignal(int sig, void (*handler)(int))
{
    struct sigaction sa;

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    for (int end : endSignals)
        sigaddset(&sa.sa_mask, end);
    sigaction(sig, &sa, NULL);
}

/* Suspend: echo on, then stop as the default action would. In an orphaned
 * process group the system does not stop the program; either way the
 * prompt goes on with echo off. */
static void onSuspend(int)
{
    int savedErrno = errno;
    sigset_t tstp;

    promptEchoOn();
    signal(SIGTSTP, SIG_DFL);
    sigemptyset(&tstp);
    sigaddset(&tstp, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &tstp, NULL);
    raise(SIGTSTP);
    sigprocmask(SIG_BLOCK, &tstp, NULL);
    catchSignal(SIGTSTP, onSuspend);
    promptResume();
    errno = savedErrno;
}

/* Going on after a stop: after our own suspend, echo off and the prompt
 * again; after a stop we could not see (SIGSTOP), echo off again in case
 * the shell turned it on meanwhile. */
static void onContinue(int)
{
    int savedErrno = errno;

    if (promptTty >= 0 && promptQuietOn)
        tcsetattr(promptTty, TCSANOW, &promptQuiet);
    else
        promptResume();
    errno = savedErrno;
}

static void blockPromptSignals(int how)
{
    sigset_t set;

    sigemptyset(&set);
    for (int sig : promptSignals)
        sigaddset(&set, sig);
    sigprocmask(how, &set, NULL);
}

/* Installs the prompt's handlers, except for a signal that was ignored
 * when the program started (nohup, a background job without job control):
 * that one stays ignored. */
static void promptCatchSignals(void)
{
    for (size_t i = 0; i < PROMPT_SIGNAL_COUNT; i++) {
        int sig = promptSignals[i];

        sigaction(sig, NULL, &promptOldActions[i]);
        if (promptOldActions[i].sa_handler == SIG_IGN)
            continue;
        catchSignal(sig, sig == SIGTSTP ? onSuspend : sig == SIGCONT ? onContinue : onEndSignal);
    }
}

static void promptReleaseSignals(void)
{
    for (size_t i = 0; i < PROMPT_SIGNAL_COUNT; i++)
        sigaction(promptSignals[i], &promptOldActions[i], NULL);
}

/*
 * Reads one line from fd a byte at a time, so that nothing past the newline
 * is taken from the terminal and no stdio buffer keeps a copy of the
 * password. Characters beyond size - 1 are read and dropped. When the
 * prompt is shown again (after a stop), the entry starts afresh.
 */
static int readLine(int fd, char *buf, size_t size, int *cut)
{
    size_t len = 0;
    int gotAny = 0;
    char c;

    *cut = 0;
    for (;;) {
        ssize_t n = read(fd, &c, 1);
        if (promptRestarted) {
            promptRestarted = 0;
            len = 0;
            *cut = 0;
            gotAny = 0;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            gotAny = 0; /* a broken terminal gives nothing, not half a line */
            break;
        }
        if (n == 0)
            break; /* end of input: a partial line still counts */
        gotAny = 1;
        if (c == '\n')
            break;
        if (len + 1 < size)
            buf[len++] = c;
        else
            *cut = 1;
    }
    buf[len] = '\0';
    passwdWipe(&c, sizeof c);
    return gotAny;
}

/* Echo off with the signal keys left on; the handlers in place first, so
 * that no signal finds echo off without them. TCSAFLUSH drops anything
 * typed before the prompt appeared. */
static void promptStart(int tty, const char *prompt)
{
    blockPromptSignals(SIG_BLOCK);
    promptText = prompt;
    promptRestarted = 0;
    promptQuietOn = 0;
    promptCatchSignals();
    if (tcgetattr(tty, &promptSaved) == 0) {
        promptTty = tty;
        promptQuiet = promptSaved;
        promptQuiet.c_lflag &= ~(tcflag_t)ECHO;
        promptQuiet.c_lflag |= ISIG;
        promptQuietOn = tcsetattr(tty, TCSAFLUSH, &promptQuiet) == 0;
    }
    blockPromptSignals(SIG_UNBLOCK);
}

static void promptEnd(void)
{
    blockPromptSignals(SIG_BLOCK);
    promptEchoOn(); /* and the newline the user typed, not echoed */
    promptReleaseSignals();
    promptTty = -1;
    blockPromptSignals(SIG_UNBLOCK);
}

int passwdReadHidden(const char *prompt, char *buf, size_t size, int *cut)
{
    int tty, got;

    /* Only the controlling terminal: without one there is nobody to ask,
     * and a script that meant to give the password is told how. */
    tty = kelSys.open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC, 0);
    if (tty < 0) {
        fputs("No terminal to ask for the password: give it on standard input with --stdin\n", stderr);
        return 0;
    }

    promptStart(tty, prompt);
    writeAll(tty, prompt);
    got = readLine(tty, buf, size, cut);
    promptEnd();

    close(tty);
    if (!got)
        passwdWipe(buf, size);
    return got;
}

int passwdAsk(char *password)
{
    for (;;) {
        int cut, confirmCut, same;

        /* A first entry beyond 999 characters is cut, silently. */
        if (!passwdReadHidden("Password: ", password, PASSWD_SIZE, &cut))
            return 0;
        if (!passwdReadHidden("Confirm password: ", passwdConfirm, PASSWD_SIZE, &confirmCut)) {
            passwdWipe(password, PASSWD_SIZE);
            return 0;
        }
        /* The cut first entry against the whole second one: a confirmation
         * longer than 999 characters cannot equal it. */
        same = !confirmCut && strcmp(password, passwdConfirm) == 0;
        passwdWipe(passwdConfirm, sizeof passwdConfirm);
        if (same)
            return 1;
        fputs("Passwords differ\n", stdout);
        fflush(stdout);
    }
}

/* --stdin: the password is the first line of standard input, without its
 * newline, as chpasswd and htpasswd -i read it; nothing else is read. */
static enum PasswdArgs passwdFromStdin(char *password)
{
    int cut;

    if (!readLine(STDIN_FILENO, password, PASSWD_SIZE, &cut)) {
        fputs("No password on standard input\n", stderr);
        return PASSWD_ARGS_FAILED;
    }
    if (cut) {
        passwdWipe(password, PASSWD_SIZE);
        fputs("Password is too long\n", stderr);
        return PASSWD_ARGS_FAILED;
    }
    return PASSWD_ARGS_PASSWORD;
}

static int isOption(const char *arg, const char *shortName, const char *longName)
{
    return strcmp(arg, shortName) == 0 || strcmp(arg, longName) == 0;
}

enum PasswdArgs passwdFromArgs(int argc, char **argv, char *password)
{
    int first = 1;
    int fromStdin = 0;
    size_t len;

    /* Options come first; "--" ends them, so that a password may begin
     * with "-". A lone "-" is a password, as for most programs. */
    for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; first++) {
        if (strcmp(argv[first], "--") == 0) {
            first++;
            break;
        }
        if (isOption(argv[first], "-h", "--help")) {
            fputs(USAGE, stdout);
            fputs("       kelpasswd --stdin\n"
                  "Scrambles the password and writes it into $SM_HOME/config/kelaudit.conf.\n"
                  "Without a password, asks for it twice at the terminal.\n"
                  "  --stdin     read the password from the first line of standard input\n"
                  "  --version   the version of the installation\n"
                  "  -h, --help  this text\n"
                  "  --          end of options: a password that begins with \"-\" follows\n",
                  stdout);
            return PASSWD_ARGS_HELP;
        }
        if (strcmp(argv[first], "--stdin") == 0) {
            fromStdin = 1;
            continue;
        }
        fputs(USAGE, stderr);
        return PASSWD_ARGS_FAILED;
    }
    if (fromStdin) {
        if (first != argc) {
            fputs(USAGE, stderr);
            return PASSWD_ARGS_FAILED;
        }
        return passwdFromStdin(password);
    }
    if (first == argc)
        return passwdAsk(password) ? PASSWD_ARGS_PASSWORD : PASSWD_ARGS_FAILED;
    if (argc - first > 1) {
        fputs(USAGE, stderr);
        return PASSWD_ARGS_FAILED;
    }
    len = strlen(argv[first]);
    if (len > PASSWD_SIZE - 1) {
        fputs("Password is too long\n", stderr);
        return PASSWD_ARGS_FAILED;
    }
    memcpy(password, argv[first], len + 1);
    /* Also out of sight of ps, which shows the process's argument area. */
    passwdWipe(argv[first], len);
    return PASSWD_ARGS_PASSWORD;
}

static int hasWhiteSpace(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++)
        if (isspace(*p))
            return 1;
    return 0;
}

/* The password the event handler's reader takes from the line
 * "password = <scrambled>": parsed with the same syntax, then unscrambled.
 * Returns 1 when it equals clear. */
static int readsBack(const char *clear, const char *scrambled)
{
    char line[LINE_SIZE], name[LINE_SIZE], value[LINE_SIZE];
    int same;

    snprintf(line, sizeof line, "%s%s\n", PASSWD_LINE_START, scrambled);
    same = confParseLine(line, name, value) && strcmp(name, "password") == 0;
    if (same) {
        scrypt(value, value, false);
        same = strcmp(value, clear) == 0;
    }
    passwdWipe(value, sizeof value);
    passwdWipe(line, sizeof line);
    return same;
}

int passwdCheck(const char *clear, const char *scrambled)
{
    if (clear[0] == '\0') {
        /* The handler skips a password line without a value and would log
         * on with its built-in password. */
        fputs("Password is empty\n", stderr);
        return 0;
    }
    if (strlen(clear) > (size_t)PASSWD_MAX_LEN) {
        fprintf(stderr, "Password is too long for the event handler: at most %d characters\n",
                PASSWD_MAX_LEN);
        return 0;
    }
    if (hasWhiteSpace(clear)) {
        fputs("Password contains white space, which the event handler does not read\n", stderr);
        return 0;
    }
    if (!readsBack(clear, scrambled)) {
        /* The scrambling's 32-bit chaining wraps around on some long
         * passwords (long runs of one character, for instance). */
        fputs("Password does not come back through the scrambling; choose another\n", stderr);
        return 0;
    }
    return 1;
}

int passwdRun(int argc, char **argv)
{
    char clear[PASSWD_SIZE];
    enum PasswdArgs args;
    int ok;

    args = passwdFromArgs(argc, argv, passwdBuffer);
    if (args != PASSWD_ARGS_PASSWORD)
        return args == PASSWD_ARGS_HELP ? 0 : 1;
    memcpy(clear, passwdBuffer, sizeof clear);
    scrypt(passwdBuffer, passwdBuffer, true);
    ok = passwdCheck(clear, passwdBuffer);
    passwdWipe(clear, sizeof clear);
    if (ok)
        ok = passwdWriteConfig(passwdBuffer);
    passwdWipe(passwdBuffer, sizeof passwdBuffer);
    return ok ? 0 : 1;
}
