/*
 * test_sysfail.cpp - the file and loader calls of the system table failing
 * one at a time: the trace log, the handler's configuration reader and the
 * loading of the Oracle client each end in their documented message or
 * silence, never in a crash or a half-read setting.
 */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include <string>

#include "audit.h"
#include "kelsys.h"
#include "smeventkel.h"
#include "trace.h"
#include "tracefiles.h"

namespace {

bool endsWith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

/* Entries that fail for the one file or symbol a case names. */
int openNotAudit(const char *path, int flags, mode_t mode)
{
    if (endsWith(path, "kelaudit.conf")) {
        errno = EACCES;
        return -1;
    }
    return open(path, flags, mode);
}
void *dlopenNothing(const char *, int)
{
    return nullptr;
}
void *dlsymNoLogon(void *lib, const char *name)
{
    return strcmp(name, "OCILogon") == 0 ? nullptr : dlsym(lib, name);
}
int openNothing(const char *, int, mode_t)
{
    errno = EMFILE;
    return -1;
}
int fstatFails(int, struct stat *)
{
    errno = EIO;
    return -1;
}

class SysFail : public ::testing::Test {
protected:
    kt::TraceFiles files{5};

    void SetUp() override
    {
        traceReset();
        ociTestUnload();
        files.writeConfig("kelaudit.conf", "MIN_LEVEL = 1\nDATASOURCE = :memory:\n");
    }
    void TearDown() override
    {
        kelSysReset();
        ociTestUnload();
        traceReset();
    }
};

TEST_F(SysFail, ConfigurationOrClientThatCannotBeHadIsTracedAndDefaultsHold)
{
    struct Case {
        const char *what;
        void (*inject)();
        bool readConfig; /* else: connect */
        std::string message;
    } cases[] = {
        {"kelaudit.conf cannot be opened", [] { kelSys.open = openNotAudit; }, true,
         "Can't read configuration file " + files.configDir() + "/kelaudit.conf"},
        {"no Oracle client", [] { kelSys.dlopen = dlopenNothing; }, false,
         "Can't load OCI library libclntsh.so: unknown loader error; unknown loader error"},
        {"Oracle client without OCILogon", [] { kelSys.dlsym = dlsymNoLogon; }, false,
         "Can't load OCI library libclntsh.so: no function OCILogon"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        files.clear();
        c.inject();
        struct Param p;
        readConfigFile(&p);
        EXPECT_EQ(p.minLevel, c.readConfig ? 10 : 1);
        if (!c.readConfig) {
            auditConfigure(&p);
            EXPECT_EQ(dbConnect(), 0);
        }
        EXPECT_TRUE(files.has(c.message)) << c.message;
        kelSysReset();
        ociTestUnload();
    }
}

TEST_F(SysFail, LogThatCannotBeOpenedOrCheckedTakesNoLine)
{
    void (*injections[])() = {[] { kelSys.open = openNothing; },
                              [] { kelSys.fstat = fstatFails; }};
    for (auto inject : injections) {
        traceReset();
        remove(files.logPath().c_str());
        inject();
        trace(TRACE_ERROR, "lost");
        kelSysReset();
        EXPECT_TRUE(files.messages().empty());
    }
}

} // namespace
