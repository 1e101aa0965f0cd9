/*
 * regfile.h - opening files that must be regular files: the trace log,
 * keltrace.conf, kelaudit.conf. A FIFO, device, socket or directory under
 * such a name is refused like a file that cannot be opened, and the open
 * itself never waits (a FIFO without a writer, or without a reader, would
 * hold the calling thread for good, and a log written into a FIFO whose
 * reader went away would raise SIGPIPE in the host). A symbolic link to a
 * regular file is followed as usual.
 *
 * Every call goes through the system table. No state; safe from any thread.
 */
#ifndef KEL_REGFILE_H
#define KEL_REGFILE_H

#include <stdio.h>
#include <sys/types.h>

/* open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode), kept only
 * when it names a regular file. The descriptor keeps O_NONBLOCK, which
 * changes nothing for a regular file. Returns the descriptor, or -1 with
 * errno set (EISDIR for a folder, EINVAL for anything else not regular). */
int regOpen(const char *path, int flags, mode_t mode);

/* regOpen for reading, as a stdio stream; NULL when it fails. */
FILE *regOpenRead(const char *path);

#endif
