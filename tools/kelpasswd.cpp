/*
 * kelpasswd.cpp - the command line and the password entry of kelpasswd:
 * reads the password (argument or two no-echo entries at the terminal),
 * scrambles it in place and hands it to the file rewrite (kelpasswd_file).
 *
 * Single-threaded. The clear password only ever lives in the buffers of
 * this file and in the caller's argv; each is wiped as soon as it is no
 * longer needed, so no clear copy outlives the scrambling.
 */
#include "kelpasswd.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "kelsys.h"
#include "scrypt.h"

static char passwdBuffer[PASSWD_SIZE];  /* the password, scrambled in place */
static char passwdConfirm[PASSWD_SIZE]; /* the second entry */

void passwdWipe(void *buf, size_t size)
{
    explicit_bzero(buf, size);
}

/* Writes all of text to fd, going on after a partial write. */
static void writeAll(int fd, const char *text)
{
    size_t left = strlen(text);

    while (left > 0) {
        ssize_t n = kelSys.write(fd, text, left);
        if (n <= 0)
            return;
        text += n;
        left -= (size_t)n;
    }
}

/*
 * Reads one line from fd a byte at a time, so that nothing past the newline
 * is taken from the terminal and no stdio buffer keeps a copy of the
 * password. Characters beyond size - 1 are read and dropped.
 */
static int readLine(int fd, char *buf, size_t size, int *cut)
{
    size_t len = 0;
    int gotAny = 0;
    char c;

    *cut = 0;
    for (;;) {
        ssize_t n = read(fd, &c, 1);
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

int passwdReadHidden(const char *prompt, char *buf, size_t size, int *cut)
{
    struct termios saved, quiet;
    int tty, restore = 0, got;

    /* Only the controlling terminal: without one there is nobody to ask,
     * and the reader gives nothing. */
    tty = kelSys.open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC, 0);
    if (tty < 0)
        return 0;

    /* Echo off, and signal keys read as characters so that an interrupt
     * cannot leave the terminal without echo. TCSAFLUSH drops anything
     * typed before the prompt appeared. */
    if (tcgetattr(tty, &saved) == 0) {
        quiet = saved;
        quiet.c_lflag &= ~(tcflag_t)(ECHO | ISIG);
        restore = tcsetattr(tty, TCSAFLUSH, &quiet) == 0;
    }
    writeAll(tty, prompt);

    got = readLine(tty, buf, size, cut);

    if (restore) {
        tcsetattr(tty, TCSAFLUSH, &saved);
        /* The newline the user typed was not echoed. */
        writeAll(tty, "\n");
    }
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

int passwdFromArgs(int argc, char **argv, char *password)
{
    size_t len;

    if (argc <= 1)
        return passwdAsk(password);
    if (argc > 2) {
        fputs("Usage: kelpasswd {password}\n", stderr);
        return 0;
    }
    len = strlen(argv[1]);
    if (len > PASSWD_SIZE - 1) {
        fputs("Password is too long\n", stderr);
        return 0;
    }
    memcpy(password, argv[1], len + 1);
    /* Also out of sight of ps, which shows the process's argument area. */
    passwdWipe(argv[1], len);
    return 1;
}

int passwdRun(int argc, char **argv)
{
    int ok;

    if (!passwdFromArgs(argc, argv, passwdBuffer))
        return 1;
    scrypt(passwdBuffer, passwdBuffer, true);
    ok = passwdWriteConfig(passwdBuffer);
    passwdWipe(passwdBuffer, sizeof passwdBuffer);
    return ok ? 0 : 1;
}
