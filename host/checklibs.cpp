/*
 * checklibs.cpp - the platform libraries' part of "smhost check": the
 * Agent API and the Oracle client loaded exactly as the plug-ins load them
 * (common/libload: beside the plug-in first, then through the loader's
 * search path), with every function they call resolved. smhost is linked
 * against neither, so this is what a policy server host gives the
 * plug-ins. A library that is missing or wrong fails with each place
 * tried, the loader's reason and the line the plug-in would trace.
 */
#include <dlfcn.h>
#include <link.h>
#include <string.h>

#include "agent.h"
#include "checkreport.h"
#include "libload.h"

namespace smhost {

namespace {

const char *const OCI_LIBRARY = "libclntsh.so";

/* How a plug-in reports a library it cannot load: its trace line. */
enum class LoadFailure { NOT_FOUND, NO_FUNCTION };
/* function and reason: the missing function and the loader's words. */
using PluginMessage = std::string (*)(LoadFailure kind, const LibFailure &why, const char *function,
                                      const char *reason);

/* The file a handle was opened from. */
std::string libraryFile(void *lib, const char *name)
{
    struct link_map *map = nullptr;
    if (dlinfo(lib, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
        return name;
    return resolved(map->l_name);
}

/*
 * Loads a platform library the way the plug-in that needs it does: with
 * libOpen anchored in the plug-in, so from the plug-in's folder first, then
 * by name through the loader's search path; and resolves the functions it
 * calls. Returns the library or NULL; the check then gives each place
 * tried with the loader's reason, and the line the plug-in would trace.
 */
void *loadLikePlugin(void *plugin, const char *entry, const char *name, const char *const *functions,
                     int count, void **slots, PluginMessage message, Check &c)
{
    struct LibFailure why;
    char reason[LINE_SIZE];
    Dl_info info;

    void *anchor = plugin != nullptr ? dlsym(plugin, entry) : nullptr;
    if (anchor == nullptr) {
        c.fail("the plug-in does not load, so neither would this library");
        return nullptr;
    }
    void *lib = libOpen(name, anchor, &why);
    if (lib == nullptr) {
        c.summary = std::string(name) + " not found";
        if (why.beside[0] != '\0')
            c.fail(std::string("beside the plug-in: ") + why.beside);
        c.fail(std::string("through the loader's search path: ") + why.byName);
        c.fail("the plug-in would trace: " + message(LoadFailure::NOT_FOUND, why, "", ""));
        return nullptr;
    }
    int missing = libResolve(lib, functions, slots, count, reason, sizeof reason);
    std::string from = libraryFile(lib, name);
    if (missing >= 0) {
        c.summary = "wrong library: " + from;
        c.fail(std::string("no function ") + functions[missing] + ": not the library the plug-in needs");
        c.fail("the plug-in would trace: " + message(LoadFailure::NO_FUNCTION, why, functions[missing], reason));
        libClose(lib);
        return nullptr;
    }
    bool beside = dladdr(anchor, &info) != 0 && info.dli_fname != nullptr &&
                  dirOf(from) == dirOf(resolved(info.dli_fname));
    c.summary = "loaded from " + from + (beside ? " (beside the plug-in)" : " (through the loader's search path)");
    return lib;
}

std::string agentApiMessage(LoadFailure kind, const LibFailure &why, const char *, const char *reason)
{
    if (kind == LoadFailure::NO_FUNCTION)
        return std::string("Cannot load Agent API library " AGENT_API_LIBRARY ": ") + reason;
    return std::string("Cannot load Agent API library " AGENT_API_LIBRARY ": ") +
           (why.beside[0] != '\0' ? std::string(why.beside) + "; " : "") + why.byName;
}

std::string oracleClientMessage(LoadFailure kind, const LibFailure &why, const char *function, const char *)
{
    if (kind == LoadFailure::NO_FUNCTION)
        return std::string("Can't load OCI library ") + OCI_LIBRARY + ": no function " + function;
    return std::string("Can't load OCI library ") + OCI_LIBRARY + ": " + why.byName +
           (why.beside[0] != '\0' ? std::string("; ") + why.beside : "");
}

} // namespace

void *checkAgentApi(void *authPlugin, Report &report)
{
    void *slots[AGENT_API_FUNCTIONS];
    Check c("Agent API");
    c.summary = AGENT_API_LIBRARY;
    void *lib = loadLikePlugin(authPlugin, "SmAuthInit", AGENT_API_LIBRARY, agentApiFunctions,
                               AGENT_API_FUNCTIONS, slots, agentApiMessage, c);
    report.print(c);
    return lib;
}

namespace {

/* The writer's functions, then the rollback. */
const int OCI_COUNT = AUDIT_OCI_FUNCTIONS + 1;
static_assert(sizeof(OciTable) == AUDIT_OCI_FUNCTIONS * sizeof(void *), "one slot per OCI function");

} // namespace

void *checkOracleClient(void *eventPlugin, OciCalls &oci, Report &report)
{
    void *slots[OCI_COUNT];
    Check c("Oracle client");
    c.summary = OCI_LIBRARY;
    static const char *const rollback[] = {"OCITransRollback"};
    char reason[LINE_SIZE];
    void *lib = loadLikePlugin(eventPlugin, "SmEventInit", OCI_LIBRARY, auditOciFunctions,
                               AUDIT_OCI_FUNCTIONS, slots, oracleClientMessage, c);
    if (lib != nullptr && libResolve(lib, rollback, &slots[AUDIT_OCI_FUNCTIONS], 1, reason, sizeof reason) >= 0) {
        c.fail(std::string("no function OCITransRollback: ") + reason);
        libClose(lib);
        lib = nullptr;
    }
    if (lib != nullptr) {
        memcpy(static_cast<OciTable *>(&oci), slots, sizeof(OciTable));
        memcpy(&oci.transRollback, &slots[AUDIT_OCI_FUNCTIONS], sizeof oci.transRollback);
    }
    report.print(c);
    return lib;
}

} // namespace smhost
