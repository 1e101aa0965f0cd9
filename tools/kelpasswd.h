/*
 * kelpasswd.h - the password tool's module: it takes the database password
 * (typed twice at the terminal, or given as the only argument), scrambles
 * it and writes it into $SM_HOME/config/kelaudit.conf through a
 * temporary file in the same folder that then replaces the old file.
 *
 * The program is single-threaded. Messages go to stdout and stderr exactly
 * as the administrator sees them; functions return 1 for success, 0 for
 * failure after their message has been written.
 */
#ifndef KEL_PASSWD_H
#define KEL_PASSWD_H

#include <stddef.h>

#include "kelcommon.h"

/* Capacity of the password buffer: at most 999 characters and the NUL. */
#define PASSWD_SIZE LINE_SIZE

#define CONF_FILE "kelaudit.conf"

/* Runs the whole tool; the result is the exit status (0 or 1). */
int passwdRun(int argc, char **argv);

/* Command line: no argument asks at the terminal, one is the password.
 * Fills password (PASSWD_SIZE characters); returns 0 after the usage or
 * the too-long message, or when the terminal gave nothing (no message). */
int passwdFromArgs(int argc, char **argv, char *password);

/* Asks twice without echo until both entries agree; the first entry is cut
 * to 999 characters. Returns 0 when the terminal gives nothing. */
int passwdAsk(char *password);

/* The no-echo terminal reader: writes prompt to the controlling terminal
 * and reads one line from it into buf without the newline, keeping at most
 * size - 1 characters; *cut tells whether more were typed. Returns 0 when
 * there is no terminal, at end of input or on a read error. */
int passwdReadHidden(const char *prompt, char *buf, size_t size, int *cut);

/* Puts the scrambled password into the configuration file under SM_HOME,
 * replacing every password line or appending one. */
int passwdWriteConfig(const char *scrambled);

/* Overwrites a buffer that held a clear password, in a way the compiler
 * cannot drop as a dead store. */
void passwdWipe(void *buf, size_t size);

#endif
