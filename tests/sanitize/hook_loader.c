/* Stands in for the EasyUI host towards the boot hook library: loads it,
   calls its three hooks in the host's order and unloads it, so that valgrind
   can check the library on its own (it is never built with sanitizers: the
   host that loads it is not sanitized). Run inside the simulated clock,
   where "/bin/setprop" and "/res/bin/tavrine-boot-control" exist.

   Usage: hook-loader LIBRARY. Prints the three results on one line; exit
   status 0 once all three hooks were found and called, 1 otherwise. */
#include <dlfcn.h>
#include <stdio.h>

typedef int (*IntHook)(void);
typedef void (*VoidHook)(void);

int main(int argc, char** argv) {
    if (argc != 2) return 1;
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) return 1;
    IntHook init = (IntHook)dlsym(library, "onEasyUIInit");
    IntHook startup = (IntHook)dlsym(library, "onStartupApp");
    VoidHook deinit = (VoidHook)dlsym(library, "onEasyUIDeinit");
    int found = init != NULL && startup != NULL && deinit != NULL;
    if (found) {
        int initResult = init();
        int startupResult = startup();
        deinit();
        printf("init %d startup %d deinit\n", initResult, startupResult);
    }
    dlclose(library);
    return found ? 0 : 1;
}
