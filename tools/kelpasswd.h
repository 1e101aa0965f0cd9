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

/* The password line as kelpasswd writes it, up to the password; its name
 * may be spelled in another case, never with another length. */
#define PASSWD_LINE_START "password = "

/* The longest password whose line the event handler reads whole: the line
 * must fit in its LINE_SIZE - 1 characters. */
#define PASSWD_MAX_LEN (LINE_SIZE - 1 - (int)(sizeof PASSWD_LINE_START - 1))

/* Runs the whole tool; the result is the exit status (0 or 1). */
int passwdRun(int argc, char **argv);

/* What the command line asks for. */
enum PasswdArgs { PASSWD_ARGS_FAILED, PASSWD_ARGS_HELP, PASSWD_ARGS_PASSWORD };

/* Command line: "-h" or "--help" prints the usage on stdout; "--stdin"
 * takes the first line of standard input (and no argument); "--" ends the
 * options; then no argument asks at the terminal, one is the password.
 * Fills password (PASSWD_SIZE characters) for PASSWD_ARGS_PASSWORD. Fails
 * after the usage or the too-long message, or silently when the terminal
 * gave nothing. */
enum PasswdArgs passwdFromArgs(int argc, char **argv, char *password);

/* Asks twice without echo until both entries agree; the first entry is cut
 * to 999 characters. Returns 0 when the terminal gives nothing or the user
 * interrupts. */
int passwdAsk(char *password);

/* The no-echo terminal reader: writes prompt to the controlling terminal
 * and reads one line from it into buf without the newline, keeping at most
 * size - 1 characters; *cut tells whether more were typed. The terminal's
 * signal keys keep working: interrupt and quit end the program with status
 * 1, suspend stops it, each with echo back on; after a stop the prompt is
 * shown again and the entry starts afresh. Returns 0 when there is no
 * terminal (after a message that says --stdin is the way), at end of
 * input or on a read error. */
int passwdReadHidden(const char *prompt, char *buf, size_t size, int *cut);

/* Whether the event handler will read back exactly this password from the
 * line kelpasswd writes with scrambled (its scrambled form): not empty, no
 * white space, a line that fits the handler's reader, and a scrambled text
 * that unscrambles to the password. Returns 1, or 0 after a message on
 * stderr. */
int passwdCheck(const char *clear, const char *scrambled);

/* Puts the scrambled password into the configuration file under SM_HOME,
 * replacing every password line or appending one. */
int passwdWriteConfig(const char *scrambled);

/* Overwrites a buffer that held a clear password, in a way the compiler
 * cannot drop as a dead store. */
void passwdWipe(void *buf, size_t size);

#endif
