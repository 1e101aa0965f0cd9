/*
 * loadscheme.c - a host that loads the scheme plug-in named on its command
 * line and initialises it, nothing more. It links no Agent API library, so
 * the one the plug-in loads is the plug-in's own choice; the install test
 * runs it with LD_DEBUG=files to see that choice.
 */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    int (*init)(const char *, const char *);
    void *lib;

    if (argc != 2) {
        fprintf(stderr, "usage: loadscheme PLUGIN\n");
        return 2;
    }
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    *(void **)&init = dlsym(lib, "SmAuthInit");
    if (init == NULL)
        return 1;
    /* The agent is unknown to the library: the result does not matter. */
    init("", "secret");
    return 0;
}
