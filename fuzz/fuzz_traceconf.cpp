/*
 * fuzz_traceconf.cpp - keltrace.conf as the trace module reads it, then a
 * few lines traced under those settings (short, long, with control
 * characters).
 *
 * Lines naming the log file are replaced by one naming a file in the
 * scratch folder: the fuzzer must not write wherever an input points.
 * Anything else stays as it is, long lines and stray NULs included.
 * Checks: no memory error; when the log was written, every line of it is
 * one line (control characters escaped).
 */
#include <string.h>
#include <strings.h>

#include "confline.h"
#include "fuzzutil.h"
#include "trace.h"

static std::string confPath, logPath;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fz::traceInto(5);
    confPath = fz::scratch() + "/home/config/keltrace.conf";
    logPath = fz::scratch() + "/trace.log";
    return 0;
}

/* The input without the lines that name the log file. Only the start of a
 * line is parsed, so long lines stay whole: their rest may say "file =",
 * the reader must skip it. */
static std::string sanitize(const uint8_t *data, size_t size)
{
    std::string out, in((const char *)data, size);
    for (const std::string &line : fz::lines(in)) {
        char name[LINE_SIZE], value[LINE_SIZE];
        if (confParseLine(fz::lineStart(line, LINE_SIZE).c_str(), name, value) &&
            strcasecmp(name, "file") == 0)
            continue;
        out += line;
    }
    if (!out.empty() && out.back() != '\n')
        out += '\n';
    return out + "file = " + logPath + "\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string conf = sanitize(data, size);
    fz::writeBytes(confPath, (const uint8_t *)conf.data(), conf.size());
    unlink(logPath.c_str());
    traceReset();

    static const std::string longText(6000, 'x');
    trace(TRACE_ERROR, "error line %d", 1);
    trace(TRACE_5, "control \n\r\x01 characters %s", "end");
    trace(TRACE_3, "long %s", longText.c_str());
    trace(TRACE_SECURE, "secure line");
    traceClose();

    std::string log = fz::readBytes(logPath);
    size_t lines = 0;
    for (char c : log)
        lines += c == '\n';
    /* Four calls and the notice of the configuration read. */
    FZ_CHECK(lines <= 5, "%zu lines in the log for 4 calls", lines);
    return 0;
}
