/*
 * fuzz_kelpasswd.cpp - kelpasswd's rewrite of a kelaudit.conf of random
 * bytes.
 *
 * Checks: the rewrite succeeds; every line that does not begin as a
 * password line comes out byte for byte, however long, stray NULs
 * included; each password line, however long, becomes "<name> =
 * <scrambled>"; without one, a password line is appended on a line of its
 * own; no temporary file is left behind.
 */
#include <dirent.h>
#include <string.h>
#include <strings.h>

#include "confline.h"
#include "fuzzutil.h"
#include "kelpasswd.h"
#include "kelsys.h"

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
    return 0;
}
