/*
 * kelsys.h - the one table through which the plug-ins and kelpasswd reach
 * every system call that can fail or that a test needs to take the place
 * of: the clock, memory (malloc, calloc, strdup), thread creation,
 * sleeping, the host name, files (open, fopen, stat, lstat, fstat,
 * realpath, write, fsync, rename, mkostemp; and for the audit journal
 * pread, pwrite, fdatasync, ftruncate, flock, unlink, mkdir, opendir,
 * readdir, close, usleep) and the dynamic loader (dlopen, dlsym).
 *
 * Production code calls kelSys.xxx; the table starts out pointing at the
 * real functions. Tests assign their own functions to an entry (a clock they
 * can move, an allocation that fails on the Nth call, a rename that is
 * refused) before they start any thread, and put the entries back with
 * kelSysReset() when they are done. Each library and program that
 * compiles this file holds its own table.
 */
#ifndef KEL_SYS_H
#define KEL_SYS_H

#include <dirent.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>

struct KelSysTable {
    /* Time of day, seconds and microseconds since the epoch. */
    int (*gettimeofday)(struct timeval *tv);
    void *(*malloc)(size_t size);
    /* Zeroed memory: large blocks come fresh from the system, untouched. */
    void *(*calloc)(size_t count, size_t size);
    char *(*strdup)(const char *text);
    int (*threadCreate)(pthread_t *thread, void *(*start)(void *), void *arg);
    unsigned int (*sleep)(unsigned int seconds);
    int (*gethostname)(char *name, size_t len);
    /* getrandom(2): random bytes from the kernel. */
    ssize_t (*getrandom)(void *buf, size_t len, unsigned int flags);
    /* open(2) with its mode always given. */
    int (*open)(const char *path, int flags, mode_t mode);
    FILE *(*fopen)(const char *path, const char *mode);
    int (*stat)(const char *path, struct stat *st);
    int (*lstat)(const char *path, struct stat *st);
    int (*fstat)(int fd, struct stat *st);
    /* realpath(3) into a caller's buffer of PATH_MAX characters. */
    char *(*realpath)(const char *path, char *resolved);
    ssize_t (*write)(int fd, const void *buf, size_t len);
    int (*fsync)(int fd);
    int (*rename)(const char *from, const char *to);
    int (*mkostemp)(char *pathTemplate, int flags);
    void *(*dlopen)(const char *file, int mode);
    void *(*dlsym)(void *library, const char *name);
    ssize_t (*pread)(int fd, void *buf, size_t len, off_t offset);
    ssize_t (*pwrite)(int fd, const void *buf, size_t len, off_t offset);
    int (*fdatasync)(int fd);
    int (*ftruncate)(int fd, off_t length);
    int (*flock)(int fd, int operation);
    int (*unlink)(const char *path);
    int (*mkdir)(const char *path, mode_t mode);
    DIR *(*opendir)(const char *path);
    struct dirent *(*readdir)(DIR *dir);
    int (*close)(int fd);
    /* A pause shorter than a second. */
    int (*usleep)(useconds_t microseconds);
};

extern struct KelSysTable kelSys;

/* Put every entry back to the real function. */
void kelSysReset(void);

/* Seconds since the epoch from the table's clock (the seam for time()). */
time_t kelTime(void);

/* The same, at the cost of time(2) while the clock entry is the real one
 * (the kernel's seconds, which may lag the time of day by a clock tick at
 * the turn of a second); from the table's clock when a test has put its
 * own there. For decisions taken in whole seconds on every call. */
time_t kelSeconds(void);

#endif
