/*
 * fuzz_kelpasswd.cpp - kelpasswd's rewrite of a kelaudit.conf of random
 * bytes, and its check of the password against the event handler's reader.
 *
 * Checks: the rewrite succeeds; every line that does not begin as a
 * password line comes out byte for byte, however long, stray NULs
 * included; each password line, however long, becomes "<name> =
 * <scrambled>"; without one, a password line is appended on a line of its
 * own; no temporary file is left behind. The input's first bytes, up to a
 * NUL, are also taken as a password: when the check accepts it, the event
 * handler reads exactly that password from the rewritten file.
 */
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>

#include "confline.h"
#include "fuzzutil.h"
#include "kelpasswd.h"
#include "kelsys.h"
#include "scrypt.h"
#include "smeventkel.h"

static const char *SCRAMBLED = "Xq7Rz0";
static std::string confDir, confPath;

static int noSync(int)
{
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fz::traceInto(5);
    confDir = fz::scratch() + "/home/config";
    confPath = confDir + "/kelaudit.conf";
    kelSys.fsync = noSync; /* tmpfs or not, the disk is not under test */
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

static std::string expected(const std::string &in)
{
    std::string out;
    bool seen = false;
    for (const std::string &line : fz::lines(in)) {
        char name[LINE_SIZE], value[LINE_SIZE];
        if (confParseLine(fz::lineStart(line, LINE_SIZE).c_str(), name, value) &&
            strcasecmp(name, "password") == 0) {
            out += std::string(name) + " = " + SCRAMBLED + "\n";
            seen = true;
        } else {
            out += line;
        }
    }
    if (!seen) {
        if (!out.empty() && out.back() != '\n')
            out += '\n';
        out += std::string("password = ") + SCRAMBLED + "\n";
    }
    return out;
}

/* passwdCheck with its message kept off the fuzzer's output. */
static int quietCheck(const char *clear, const char *scrambled)
{
    static int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int saved = dup(2);
    dup2(devNull, 2);
    int ok = passwdCheck(clear, scrambled);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return ok;
}

/* A password the check lets through is the one the handler reads back
 * from the file the tool writes (its file from the rewrite above). */
static void checkPassword(const std::string &clear)
{
    std::string scrambled = clear;
    scrypt(&scrambled[0], clear.c_str(), true);
    if (!quietCheck(clear.c_str(), scrambled.c_str()))
        return;
    FZ_CHECK(passwdWriteConfig(scrambled.c_str()) == 1, "rewrite failed");
    static struct Param p;
    readConfigFile(&p);
    FZ_CHECK(clear == p.password, "accepted a password of %zu characters that reads back as %zu",
             clear.size(), strlen(p.password));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string in((const char *)data, size);
    fz::writeBytes(confPath, data, size);
    FZ_CHECK(passwdWriteConfig(SCRAMBLED) == 1, "rewrite failed");
    std::string out = fz::readBytes(confPath);
    FZ_CHECK(out == expected(in), "file differs (%zu bytes in, %zu out)", in.size(), out.size());

    DIR *d = opendir(confDir.c_str());
    int files = 0;
    for (struct dirent *e; (e = readdir(d)) != nullptr;)
        files += e->d_name[0] != '.';
    closedir(d);
    FZ_CHECK(files == 2, "%d files in the folder (a temporary file left?)", files);

    checkPassword(fz::cString(data, size).substr(0, PASSWD_SIZE - 1));
    return 0;
}
