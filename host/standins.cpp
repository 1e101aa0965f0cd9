/*
 * standins.cpp - demo and load open the stand-ins of the Agent API and the
 * Oracle client at run time, from the installation's stand-in folder.
 *
 * Each is opened by its full path before the plug-ins are loaded. Both
 * carry their library name as soname, so the plug-ins' own dlopen by name
 * finds them already loaded, and the sessions smhost makes through the
 * control functions are the sessions the scheme decodes. Nothing here runs
 * for smhost check, which must find the platform libraries exactly as the
 * plug-ins do on a policy server host.
 */
#include <dlfcn.h>

#include "smhost.h"

namespace smhost {

StandinControl standin;

namespace {

void *openStandin(const std::string &path, std::string &error)
{
    /* Global, so that a plug-in's lookup of a function it resolves by
     * name reaches it whatever the order of loading. */
    void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (lib == nullptr)
        error = std::string("cannot load the stand-in ") + path + ": " + dlerror();
    return lib;
}

template <typename F> bool resolveControl(void *lib, const char *name, F &fn, std::string &error)
{
    *(void **)&fn = dlsym(lib, name);
    if (fn == nullptr)
        error = std::string("the Agent API stand-in has no ") + name;
    return fn != nullptr;
}

} // namespace

bool loadStandins(const Layout &l, std::string &error)
{
    void *agentApi = openStandin(l.standinDir + "/libsmagentapi.so", error);
    if (agentApi == nullptr || openStandin(l.standinDir + "/libclntsh.so", error) == nullptr)
        return false;
    /* Both stay loaded for the life of the program, as in a policy server. */
    return resolveControl(agentApi, "smagentReset", standin.reset, error) &&
           resolveControl(agentApi, "smagentAddAgent", standin.addAgent, error) &&
           resolveControl(agentApi, "smagentCreateSession", standin.createSession, error) &&
           resolveControl(agentApi, "smagentAdvanceTime", standin.advanceTime, error);
}

} // namespace smhost
