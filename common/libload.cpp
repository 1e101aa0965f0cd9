/*
 * libload.cpp - opening a platform library beside the plug-in or by name,
 * and resolving its functions (see libload.h). No state of its own.
 */
#include "libload.h"

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "kelsys.h"

/* Copies the loader's reason for the last failure into buf. */
static void loaderError(char *buf, size_t size)
{
    const char *err = dlerror();

    snprintf(buf, size, "%s", err != NULL ? err : "unknown loader error");
}

/* "<folder of the object holding anchor>/<name>"; 0 when that folder is
 * unknown or the path would not fit (a cut path names another file). */
static int besidePath(const char *name, const void *anchor, char *path, size_t size)
{
    Dl_info info;
    const char *slash;
    int n;

    if (dladdr(anchor, &info) == 0 || info.dli_fname == NULL)
        return 0;
    slash = strrchr(info.dli_fname, '/');
    if (slash == NULL)
        return 0;
    n = snprintf(path, size, "%.*s/%s", (int)(slash - info.dli_fname), info.dli_fname, name);
    return n > 0 && (size_t)n < size;
}

void *libOpenPath(const char *path, struct LibFailure *why)
{
    void *lib = kelSys.dlopen(path, RTLD_NOW | RTLD_LOCAL);

    why->beside[0] = '\0';
    why->byName[0] = '\0';
    if (lib == NULL)
        loaderError(why->byName, sizeof why->byName);
    return lib;
}

void *libOpen(const char *name, const void *anchor, struct LibFailure *why)
{
    char path[PATH_SIZE];
    void *lib;

    why->beside[0] = '\0';
    why->byName[0] = '\0';
    if (besidePath(name, anchor, path, sizeof path)) {
        lib = kelSys.dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (lib != NULL)
            return lib;
        loaderError(why->beside, sizeof why->beside);
    }
    lib = kelSys.dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL)
        loaderError(why->byName, sizeof why->byName);
    return lib;
}

int libResolve(void *lib, const char *const *names, void **slots, int count, char *reason,
               size_t size)
{
    for (int i = 0; i < count; i++) {
        dlerror();
        void *sym = kelSys.dlsym(lib, names[i]);
        if (sym == NULL) {
            const char *err = dlerror();
            snprintf(reason, size, "%s", err != NULL ? err : names[i]);
            return i;
        }
        slots[i] = sym;
    }
    return -1;
}

void libClose(void *lib)
{
    if (lib != NULL)
        dlclose(lib);
}
