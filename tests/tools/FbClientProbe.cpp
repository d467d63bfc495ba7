// Loads the Firebird client by its name, as the database layer of the wizard does, and
// prints the client's version: 0 when it loads, 1 when it cannot be loaded.
#include <cstdio>
#include <dlfcn.h>

int main()
{
    void *library = dlopen("libfbclient.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    using GetVersion = void (*)(char *);
    auto get = reinterpret_cast<GetVersion>(dlsym(library, "isc_get_client_version"));
    if (!get)
        return 1;
    char version[256] = {};
    get(version);
    std::printf("%s\n", version);
    return 0;
}
