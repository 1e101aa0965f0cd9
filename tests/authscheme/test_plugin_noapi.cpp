/* The plug-in on a host without the Agent API library: it loads, answers
 * queries, and refuses to initialise with a trace line naming the library.
 * This program neither links nor loads libsmagentapi.so, and the plug-in
 * is copied alone into a folder of its own. */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string.h>
#include <string>

#include "smapi.h"
#include "testsupport.h"
#include "tracefiles.h"

namespace {

typedef int (*QueryFn)(const char *, const char *, int, char *, int *);
typedef int (*InitFn)(const char *, const char *);
typedef int (*AuthFn)(const void *, const Sm_Api_UserContext_t *, const Sm_Api_UserCredentials_t *,
                      const void *, const char *, const char *, int, char *, int, char *);

TEST(PluginWithoutAgentApi, LoadsAnswersAndRefusesInit)
{
    kt::TraceFiles tf(5);
    kt::TempDir dir;
    std::string copy = dir / "libsmauthkel.so";
    kt::writeFile(copy, kt::readFile(PLUGIN_PATH));
    ASSERT_EQ(dlopen("libsmagentapi.so", RTLD_NOW | RTLD_NOLOAD), nullptr);

    void *lib = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    QueryFn query = (QueryFn)dlsym(lib, "SmAuthQuery");
    InitFn init = (InitFn)dlsym(lib, "SmAuthInit");
    AuthFn authenticate = (AuthFn)dlsym(lib, "SmAuthenticate");
    InitFn release = (InitFn)dlsym(lib, "SmAuthRelease");
    ASSERT_TRUE(query && init && authenticate && release);

    char buf[1024];
    int status = 0;
    EXPECT_EQ(query("", NULL, 0, buf, &status), 0);
    EXPECT_STREQ(buf, "QX KEL/PIN authentication scheme");
    EXPECT_EQ(status, 768);

    EXPECT_EQ(init("", "secret"), 1);
    std::vector<std::string> log = tf.messages();
    std::string prefix = "Cannot load Agent API library libsmagentapi.so: ";
    size_t agentInitAt = log.size(), failureAt = log.size();
    for (size_t i = 0; i < log.size(); i++) {
        if (log[i] == "agentInit")
            agentInitAt = i;
        if (log[i].compare(0, prefix.size(), prefix) == 0) {
            failureAt = i;
            EXPECT_NE(log[i].find("cannot open shared object file"), std::string::npos) << log[i];
        }
    }
    EXPECT_LT(agentInitAt, failureAt);
    ASSERT_LT(failureAt, log.size());
    EXPECT_EQ(dlopen("libsmagentapi.so", RTLD_NOW | RTLD_NOLOAD), nullptr);

    /* Logins are refused, not crashed on. */
    Sm_Api_UserContext_t ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.bIsUserContext = 1;
    ctx.lpszUserName = "uid=jdoe";
    Sm_Api_UserCredentials_t cred = {"jdoe", "cookie"};
    char um[64], em[64];
    EXPECT_EQ(authenticate(NULL, &ctx, &cred, NULL, "", NULL, sizeof um, um, sizeof em, em),
              0x80003);
    EXPECT_EQ(release(NULL, NULL), 0);
    EXPECT_TRUE(tf.has("Ignoring call! initCount=0"));
    dlclose(lib);
}

} // namespace
