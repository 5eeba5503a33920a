#pragma once
// Libraries opened on first use instead of linked: every linked library is
// mapped and relocated before main() runs, so one that only a later feature
// needs (and its own dependencies) slows every start of the program.

namespace platform {

// `soname` opened for the rest of the process, its symbols kept out of the
// global scope (RTLD_LOCAL); null, logged once per call, when it cannot be.
void* openSharedLibrary(const char* soname);

// Points `slot` at `name` of `library`; false (logged) when it is missing.
bool bindSharedSymbol(void* library, const char* name, void** slot);

template <typename F>
bool bindSharedSymbol(void* library, const char* name, F& slot) {
    void* p = nullptr;
    const bool found = bindSharedSymbol(library, name, &p);
    slot = reinterpret_cast<F>(p);
    return found;
}

}  // namespace platform
