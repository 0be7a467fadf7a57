/* A host without Qt of its own that loads the library, starts it and ends by returning from main
 * without calling crop_assist_exit, so that the library is released at unload. */
#include <dlfcn.h>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return 3;
    int (*init)(void) = (int (*)(void))dlsym(library, "crop_assist_init");
    if (!init || init() != 0)
        return 4;
    return 0;
}
