/*
 * kelsys.cpp - default entries of the system table: the real functions.
 */
#include "kelsys.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

static int realGettimeofday(struct timeval *tv)
{
    return gettimeofday(tv, NULL);
}

static int realThreadCreate(pthread_t *thread, void *(*start)(void *), void *arg)
{
    return pthread_create(thread, NULL, start, arg);
}

static int realOpen(const char *path, int flags, mode_t mode)
{
    return open(path, flags, mode);
}

static int realStat(const char *path, struct stat *st)
{
    return stat(path, st);
}

static int realLstat(const char *path, struct stat *st)
{
    return lstat(path, st);
}

static char *realRealpath(const char *path, char *resolved)
{
    return realpath(path, resolved);
}

static int realFstat(int fd, struct stat *st)
{
    return fstat(fd, st);
}

static int realMkdir(const char *path, mode_t mode)
{
    return mkdir(path, mode);
}

static const struct KelSysTable realSys = {
    realGettimeofday,
    malloc,
    calloc,
    strdup,
    realThreadCreate,
    sleep,
    gethostname,
    getrandom,
    realOpen,
    fopen,
    realStat,
    realLstat,
    realFstat,
    realRealpath,
    write,
    fsync,
    rename,
    mkostemp,
    dlopen,
    dlsym,
    pread,
    pwrite,
    fdatasync,
    ftruncate,
    flock,
    unlink,
    realMkdir,
    opendir,
    readdir,
    close,
    usleep,
};

struct KelSysTable kelSys = realSys;

void kelSysReset(void)
{
    kelSys = realSys;
}

time_t kelSeconds(void)
{
    if (kelSys.gettimeofday == realGettimeofday)
        return time(NULL);
    return kelTime();
}

time_t kelTime(void)
{
    struct timeval tv;

    if (kelSys.gettimeofday(&tv) != 0)
        return (time_t)-1;
    return tv.tv_sec;
}
