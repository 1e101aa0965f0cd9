/*
 * libload.h - opening a platform library (the Agent API, the Oracle client)
 * at its first use, the way both plug-ins do: from the folder of the
 * plug-in first, then by name through the loader's search path, and
 * resolving its functions into a table.
 *
 * The loader calls go through the system table (kelsys.h). Callers
 * serialise loading themselves (each plug-in under its own lock).
 */
#ifndef KEL_LIBLOAD_H
#define KEL_LIBLOAD_H

#include <stddef.h>

#include "kelcommon.h"

/* The loader's reasons for a failed open: of the attempt beside the plug-in
 * ("" when it was not made: the plug-in's folder is unknown, or the path
 * would not fit) and of the attempt by name. */
struct LibFailure {
    char beside[LINE_SIZE];
    char byName[LINE_SIZE];
};

/*
 * Opens the library file name: from the folder of the object that holds
 * anchor (an address inside the calling plug-in), then by name. The
 * library's symbols stay local to it. Returns the handle, or NULL with the
 * reasons in why.
 */
void *libOpen(const char *name, const void *anchor, struct LibFailure *why);

/* Opens exactly the file at path; NULL with the reason in why->byName. */
void *libOpenPath(const char *path, struct LibFailure *why);

/*
 * Resolves the count functions names[i] of lib into slots[i]. Returns -1
 * when all were found, else the index of the first missing one (with the
 * loader's reason in reason, size characters); slots from there on are
 * left as they were.
 */
int libResolve(void *lib, const char *const *names, void **slots, int count, char *reason,
               size_t size);

/* Closes a library opened here. */
void libClose(void *lib);

#endif
