/*
 * test_plugin.cpp - the event handler loaded by path as a host loads it: its
 * exports and a run without the Oracle client.
 */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <set>
#include <stdio.h>
#include <string>

#include "auditdb.h"
#include "smapi.h"
#include "testsupport.h"
#include "tracefiles.h"
#include "eventfixture.h"

namespace {

struct Plugin {
    void *handle = nullptr;
    decltype(&SmEventInit) init = nullptr;
    decltype(&SmEventRelease) release = nullptr;
    decltype(&SmEventRecord) record = nullptr;

    explicit Plugin(const std::string &path)
    {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            return;
        *(void **)&init = dlsym(handle, "SmEventInit");
        *(void **)&release = dlsym(handle, "SmEventRelease");
        *(void **)&record = dlsym(handle, "SmEventRecord");
    }
    ~Plugin()
    {
        if (handle != nullptr)
            dlclose(handle);
    }
};

std::set<std::string> dynamicSymbols(const std::string &path)
{
    std::set<std::string> names;
    std::string cmd = "nm -D --defined-only '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    char line[1024];
    while (p != nullptr && fgets(line, sizeof line, p) != nullptr) {
        char addr[64], type[8], name[900];
        if (sscanf(line, "%63s %7s %899s", addr, type, name) == 3)
            names.insert(name);
    }
    if (p != nullptr)
        pclose(p);
    return names;
}

TEST(EventPlugin, ExportsOnlyItsEntryPoints)
{
    EXPECT_EQ((std::set<std::string>{"SmEventInit", "SmEventRelease", "SmEventRecord"}),
              dynamicSymbols(KEL_PLUGIN));
    /* The Oracle client is loaded at first use, not by the loader. */
    std::string cmd = "objdump -p '" + std::string(KEL_PLUGIN) + "' | grep -c 'NEEDED.*clntsh'";
    FILE *p = popen(cmd.c_str(), "r");
    char out[16] = "";
    ASSERT_NE(nullptr, fgets(out, sizeof out, p));
    pclose(p);
    EXPECT_EQ(0, atoi(out));
}

TEST(EventPlugin, WorksWithoutTheOracleClientAndRetries)
{
    kt::TraceFiles files{5};
    kt::TempDir alone;
    std::string copy = alone / "libsmeventkel.so";
    kt::writeFile(copy, kt::readFile(KEL_PLUGIN));
    files.writeConfig("kelaudit.conf", "MIN_LEVEL = 1\nRETRY_DELAY = 1\n");

    Plugin plugin(copy);
    ASSERT_NE(nullptr, plugin.handle) << dlerror();
    ASSERT_NE(nullptr, plugin.init);
    EXPECT_EQ(1, plugin.init());
    kt::Event e("uid=alone", "authlevel=3");
    plugin.record(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
    /* The writer tries, fails to load the library, pauses and tries again. */
    ASSERT_TRUE(kt::eventually([&] {
        int n = 0;
        for (const std::string &m : files.messages())
            n += m.rfind("Can't load OCI library libclntsh.so: ", 0) == 0;
        return n >= 2;
    }));
    plugin.release();
    EXPECT_TRUE(files.has("dbThreadFn: finishing"));
}

/* An installation keeps both files in $SM_HOME/config, the SQLite database
 * in $SM_HOME/data and the log in $SM_HOME/log; the plug-in, given nothing
 * else, follows the trace settings and audits with the audit settings. */
TEST(EventPlugin, ReadsBothFilesFromTheConfigFolder)
{
    kt::TempDir home;
    kt::ScopedEnv smHome("SM_HOME", home.path().c_str());
    for (const char *dir : {"config", "data", "log"})
        kt::makeDirs(home / dir);
    std::string log = home / "log/keltrace.log";
    kt::writeFile(home / "config/keltrace.conf", "file = " + log + "\nlevel = 5\n");
    /* MIN_LEVEL below the built-in 10: only a read file lets this event in. */
    kt::writeFile(home / "config/kelaudit.conf", "DATASOURCE = audit.db\nMIN_LEVEL = 3\nRETRY_DELAY = 1\n");
    kt::createAuditDb(home / "data/audit.db");

    Plugin plugin(KEL_PLUGIN);
    ASSERT_NE(nullptr, plugin.handle) << dlerror();
    EXPECT_EQ(1, plugin.init());
    kt::Event e("uid=carol", "authlevel=3");
    plugin.record(SM_EVENT_KIND_ACCESS, SM_EVENT_CATEGORY_AUTH, SM_EVENT_AUTH_ACCEPT, e.get());
    EXPECT_TRUE(kt::eventually([&] { return kt::auditRows(home / "data/audit.db").size() == 1; }));
    plugin.release();

    std::string text = kt::readFile(log);
    EXPECT_NE(std::string::npos, text.find("CONFIGURATION READ: file " + log + " level 5")) << text;
    EXPECT_EQ(std::string::npos, text.find("Can't read configuration file")) << text;
}

} // namespace
