/*
 * fuzzutil.h - helpers shared by the fuzz targets: a private scratch
 * folder, files written whole, and a check
 * that aborts with a message, so libFuzzer records the input.
 */
#ifndef KEL_FUZZUTIL_H
#define KEL_FUZZUTIL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace fz {

/* A scratch folder made once per process under $TMPDIR (fuzz/run.sh
 * points it into the build folder and removes it afterwards). */
inline const std::string &scratch()
{
    static std::string dir = [] {
        const char *base = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
        std::string tmpl = std::string(base) + "/kelfuzz.XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        return tmpl;
    }();
    return dir;
}

/* A file's text cut into lines, each with its newline (the last one may
 * have none). */
inline std::vector<std::string> lines(const std::string &in)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < in.size()) {
        size_t nl = in.find('\n', pos);
        size_t end = nl == std::string::npos ? in.size() : nl + 1;
        out.push_back(in.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

/* What a reader with a line buffer of size characters takes of a line:
 * its first size - 1 characters; the rest is skipped or copied as it
 * stands, never parsed. */
inline std::string lineStart(const std::string &line, size_t size)
{
    return line.substr(0, size - 1);
}

inline void makeDir(const std::string &path)
{
    mkdir(path.c_str(), 0700);
}

inline void writeBytes(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0) {
        perror(path.c_str());
        abort();
    }
}

inline std::string readBytes(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

/* The input as a C string: cut at its first NUL, as a C caller sees it. */
inline std::string cString(const uint8_t *data, size_t size)
{
    std::string s((const char *)data, size);
    return s.substr(0, s.find('\0'));
}

#define FZ_CHECK(cond, ...)                                                 \
    do {                                                                    \
        if (!(cond)) {                                                      \
            fprintf(stderr, "check failed: %s: ", #cond);                   \
            fprintf(stderr, __VA_ARGS__);                                   \
            fprintf(stderr, "\n");                                          \
            abort();                                                        \
        }                                                                   \
    } while (0)

/* Sends the plug-ins' trace into the scratch folder at the given level, so
 * the trace code runs on every input without filling a disk. */
inline void traceInto(int level)
{
    std::string home = scratch() + "/home";
    makeDir(home);
    makeDir(home + "/config");
    std::string conf = "file = " + scratch() + "/trace.log\nlevel = " + std::to_string(level) +
                       "\nmaxsize = 1000000\n";
    writeBytes(home + "/config/keltrace.conf", (const uint8_t *)conf.data(), conf.size());
    setenv("SM_HOME", home.c_str(), 1);
}

} // namespace fz

#endif
