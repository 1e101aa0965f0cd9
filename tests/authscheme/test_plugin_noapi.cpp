/* The plug-in on a host without the Agent API library: it loads, answers
 * queries, and refuses to initialise with a trace line naming the library.
 * This program neither links nor loads libsmagentapi.so, and the plug-in
 * is copied alone into a folder of its own. */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>

#include "smapi.h"
#include "tracefiles.h"

TEST(PluginWithoutAgentApi, LoadsAnswersAndRefusesInit)
{
    kt::TraceFiles tf(5);
    kt::TempDir dir;
    std::string copy = dir / "libsmauthkel.so";
    kt::writeFile(copy, kt::readFile(PLUGIN_PATH));
    void *lib = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto query = (int (*)(const char *, const char *, int, char *, int *))dlsym(lib, "SmAuthQuery");
    auto init = (int (*)(const char *, const char *))dlsym(lib, "SmAuthInit");
    auto authenticate = (decltype(&SmAuthenticate))dlsym(lib, "SmAuthenticate");
    ASSERT_TRUE(query && init && authenticate);

    char buf[1024];
    int status = 0;
    EXPECT_EQ(query("", NULL, 0, buf, &status), 0);
    EXPECT_STREQ(buf, "QX KEL/PIN authentication scheme");

    EXPECT_EQ(init("", "secret"), 1);
    std::vector<std::string> log = tf.messages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "agentInit");
    std::string prefix = "Cannot load Agent API library libsmagentapi.so: ";
    EXPECT_EQ(log.back().compare(0, prefix.size(), prefix), 0) << log.back();
    EXPECT_NE(log.back().find("cannot open shared object file"), std::string::npos);
    EXPECT_EQ(dlopen("libsmagentapi.so", RTLD_NOW | RTLD_NOLOAD), nullptr);

    /* Logins are refused, not crashed on. */
    Sm_Api_UserContext_t ctx = {};
    ctx.bIsUserContext = 1;
    ctx.lpszUserName = "uid=jdoe";
    Sm_Api_UserCredentials_t cred = {"jdoe", "cookie"};
    char um[64], em[64];
    EXPECT_EQ(authenticate(NULL, &ctx, &cred, NULL, "", NULL, sizeof um, um, sizeof em, em), 0x80003);
    dlclose(lib);
}
