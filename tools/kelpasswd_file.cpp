/*
 * kelpasswd_file.cpp - the rewrite of kelaudit.conf: every password line
 * gets the scrambled password (one is appended when there is none), every
 * other byte is copied as it stands. The new text goes into a temporary
 * file created exclusively beside the file, with the old file's mode (and
 * owner, as root), is synced to disk and then renamed over the old file,
 * so a crash leaves either the old file or the new one whole. When
 * kelaudit.conf is a symbolic link, the file it points at is the one
 * rewritten (beside it, the temporary file), and the link stays.
 *
 * Single-threaded; the paths of the one rewrite live in this file's state.
 */
#include "kelpasswd.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "confline.h"
#include "kelsys.h"
#include "regfile.h"

static char confDirPath[LINE_SIZE];  /* $SM_HOME/config */
static char confFilePath[LINE_SIZE]; /* ... /kelaudit.conf */
/* The file that is rewritten and its folder: kelaudit.conf and the
 * configuration folder, or where kelaudit.conf points when it is a link. */
static char targetDirPath[LINE_SIZE];
static char targetFilePath[LINE_SIZE];
/* The temporary file, or its template; room for the longest directory
 * path and the template part, so the X's are never cut. */
static char tempPath[LINE_SIZE + sizeof "/kelXXXXXX"];

/* A path cut to fit its buffer would name another file, so a path that
 * does not fit is refused (ENAMETOOLONG) instead of being cut. */
static int buildPaths(const char *home)
{
    int dirLen = snprintf(confDirPath, sizeof confDirPath, "%s/%s", home, CONF_DIR);
    int fileLen = snprintf(confFilePath, sizeof confFilePath, "%s/%s", confDirPath, CONF_FILE);

    if (dirLen < 0 || (size_t)dirLen >= sizeof confDirPath || fileLen < 0 ||
        (size_t)fileLen >= sizeof confFilePath) {
        errno = ENAMETOOLONG;
        return 0;
    }
    return 1;
}

/* Copies text into a LINE_SIZE buffer; 0 (ENAMETOOLONG) when it does not
 * fit. */
static int setPath(char *buf, const char *text)
{
    if (strlen(text) >= LINE_SIZE) {
        errno = ENAMETOOLONG;
        return 0;
    }
    strcpy(buf, text);
    return 1;
}

/*
 * Finds the file to rewrite. A link is resolved whole (links in the
 * folders on the way too): the temporary file must lie in the folder of
 * the file it replaces, or the rename would put a regular file in place of
 * the link and leave the file it points at behind with the old password.
 * Returns 0 with errno set.
 */
static int findTarget(void)
{
    char resolved[PATH_MAX];
    struct stat st;
    char *slash;

    if (kelSys.lstat(confFilePath, &st) != 0)
        return 0;
    if (!S_ISLNK(st.st_mode))
        return setPath(targetDirPath, confDirPath) && setPath(targetFilePath, confFilePath);
    if (kelSys.realpath(confFilePath, resolved) == NULL || !setPath(targetFilePath, resolved))
        return 0;
    slash = strrchr(resolved, '/');
    if (slash == resolved)
        slash[1] = '\0'; /* a file in the root folder */
    else
        slash[0] = '\0';
    return setPath(targetDirPath, resolved);
}

static void setTempTemplate(void)
{
    snprintf(tempPath, sizeof tempPath, "%s/kelXXXXXX",
             strcmp(targetDirPath, "/") == 0 ? "" : targetDirPath);
}

/*
 * Creates the temporary file beside the configuration file: O_CREAT|O_EXCL
 * under a fresh random name, so a link planted under any name is never
 * followed, and TMPDIR has no say in where it goes (the rename must stay on
 * one file system). It takes the old file's permission bits, and as root
 * its owner and group, before anything is written into it.
 */
static FILE *tempCreate(const struct stat *old)
{
    FILE *out;
    int fd;

    setTempTemplate();
    fd = kelSys.mkostemp(tempPath, O_CLOEXEC);
    if (fd < 0) {
        setTempTemplate(); /* report the template, not what mkostemp left */
        fprintf(stderr, "Can't create temporary file %s\n", tempPath);
        return NULL;
    }
    if ((geteuid() == 0 && fchown(fd, old->st_uid, old->st_gid) != 0) ||
        fchmod(fd, old->st_mode & 07777) != 0 || (out = fdopen(fd, "w")) == NULL) {
        fprintf(stderr, "Can't create temporary file %s\n", tempPath);
        close(fd);
        unlink(tempPath);
        return NULL;
    }
    return out;
}

/*
 * Copies in to out, replacing each password line by "name = scrambled"
 * with the name spelled as in the file (the rest of that line, however
 * long, is dropped); appends "password = scrambled" on a line of its own
 * when there was none. Only the start of a line can be a password line,
 * as for the event handler's reader: the rest of a longer line is copied
 * as it stands. Returns 0 on a read error.
 */
static int copyLines(FILE *in, FILE *out, const char *scrambled)
{
    char line[LINE_SIZE], name[LINE_SIZE], value[LINE_SIZE];
    int seen = 0, atLineStart = 1, replacing = 0, lineStart;
    struct ConfReader reader;
    size_t len;

    confReaderInit(&reader, in);
    while (confReadPiece(&reader, line, sizeof line, &len, &lineStart)) {
        if (lineStart)
            replacing = confParseLine(line, name, value) && strcasecmp(name, "password") == 0;
        if (!replacing) {
            fwrite(line, 1, len, out);
            atLineStart = line[len - 1] == '\n';
        } else if (lineStart) {
            fprintf(out, "%s = %s\n", name, scrambled);
            seen = 1;
            atLineStart = 1;
        }
    }
    if (ferror(in))
        return 0;
    if (!seen) {
        if (!atLineStart)
            putc('\n', out);
        fprintf(out, "password = %s\n", scrambled);
    }
    return 1;
}

/* Everything written, flushed, on disk and closed; out is closed either way. */
static int tempFinish(FILE *out)
{
    int ok = !ferror(out);

    if (fflush(out) != 0)
        ok = 0;
    if (ok && kelSys.fsync(fileno(out)) != 0)
        ok = 0;
    if (fclose(out) != 0)
        ok = 0;
    return ok;
}

/* Makes the rename itself durable. The new file is complete either way, so
 * a failure here changes nothing the administrator could act on. */
static void syncConfDir(void)
{
    int fd = kelSys.open(targetDirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);

    if (fd >= 0) {
        kelSys.fsync(fd);
        close(fd);
    }
}

/* Writes the new contents of the open configuration file into a
 * temporary file and renames it over the configuration file. */
static int replaceConfig(FILE *in, const char *scrambled)
{
    struct stat old;
    FILE *out;

    if (kelSys.fstat(fileno(in), &old) != 0) {
        fprintf(stderr, "Can't read configuration file %s\n", confFilePath);
        return 0;
    }
    out = tempCreate(&old);
    if (out == NULL)
        return 0;
    if (!copyLines(in, out, scrambled)) {
        /* A file read only in part must not replace the whole one; the
         * partial copy is of no use to anyone. */
        fprintf(stderr, "Can't read configuration file %s\n", confFilePath);
        fclose(out);
        unlink(tempPath);
        return 0;
    }
    if (!tempFinish(out)) {
        fprintf(stderr, "Write error on temporary file %s\n", tempPath);
        return 0;
    }
    if (kelSys.rename(tempPath, targetFilePath) != 0) {
        fprintf(stderr, "Can't rename file %s to %s: %s\n", tempPath, targetFilePath,
                strerror(errno));
        return 0;
    }
    syncConfDir();
    return 1;
}

int passwdWriteConfig(const char *scrambled)
{
    const char *home = getenv("SM_HOME");
    FILE *in;
    int ok;

    if (home == NULL) {
        fputs("SM_HOME not defined\n", stderr);
        return 0;
    }
    /* The tool updates an existing file and never creates one. */
    if (!buildPaths(home) || access(confFilePath, R_OK | W_OK) != 0 || !findTarget()) {
        fprintf(stderr, "Cannot access configuration file %s: %s\n", confFilePath,
                strerror(errno));
        return 0;
    }
    /* A FIFO or device would hang the read or feed it without end; a
     * folder cannot be read as a file. */
    in = regOpenRead(targetFilePath);
    if (in == NULL) {
        fprintf(stderr, "Can't read configuration file %s\n", confFilePath);
        return 0;
    }
    ok = replaceConfig(in, scrambled);
    fclose(in);
    if (ok)
        printf("Password written to file %s\n", confFilePath);
    return ok;
}
