#include "platform/core/SharedLibrary.h"

#include <dlfcn.h>

#include "platform/core/Console.h"

namespace platform {

void* openSharedLibrary(const char* soname) {
    void* library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = ::dlerror();
        consoleLog("SharedLibrary > cannot load %s: %s", soname, why ? why : "");
    }
    return library;
}

bool bindSharedSymbol(void* library, const char* name, void** slot) {
    *slot = library ? ::dlsym(library, name) : nullptr;
    if (!*slot) consoleLog("SharedLibrary > %s is missing", name);
    return *slot != nullptr;
}

}  // namespace platform
