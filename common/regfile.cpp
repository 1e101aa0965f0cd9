/*
 * regfile.cpp - opening regular files without ever blocking.
 */
#include "regfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelsys.h"

/* Closes fd and returns -1 with errno err. */
static int refuse(int fd, int err)
{
    close(fd);
    errno = err;
    return -1;
}

int regOpen(const char *path, int flags, mode_t mode)
{
    struct stat st;
    int fd = kelSys.open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);

    if (fd < 0)
        return -1;
    /* Looked at through the descriptor, so what is kept is what was opened. */
    if (kelSys.fstat(fd, &st) != 0)
        return refuse(fd, errno);
    if (!S_ISREG(st.st_mode))
        return refuse(fd, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    return fd;
}

FILE *regOpenRead(const char *path)
{
    int fd = regOpen(path, O_RDONLY, 0);
    FILE *f;

    if (fd < 0)
        return NULL;
    f = fdopen(fd, "r");
    if (f == NULL)
        close(fd);
    return f;
}
