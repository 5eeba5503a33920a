#include "reporter/web/CurlLibrary.h"

#include <dlfcn.h>

#include "platform/core/Console.h"

namespace vxmweb {

namespace {

// The soname of libcurl's ABI, unchanged since 2006.
constexpr char kLibcurl[] = "libcurl.so.4";

CURLcode refuseOption(CURL*, CURLoption, ...) {
    return CURLE_FAILED_INIT;
}

CurlLibrary missingLibrary() {
    CurlLibrary c{};
    c.global_init = [](long) { return CURLE_FAILED_INIT; };
    c.easy_init = []() -> CURL* { return nullptr; };
    c.easy_cleanup = [](CURL*) {};
    c.easy_setopt = refuseOption;
    c.slist_append = [](curl_slist*, const char*) -> curl_slist* { return nullptr; };
    c.slist_free_all = [](curl_slist*) {};
    c.free = [](void*) {};
    c.url = []() -> CURLU* { return nullptr; };
    c.url_cleanup = [](CURLU*) {};
    c.url_set = [](CURLU*, CURLUPart, const char*, unsigned int) { return CURLUE_BAD_HANDLE; };
    c.url_get = [](const CURLU*, CURLUPart, char**, unsigned int) { return CURLUE_BAD_HANDLE; };
    c.multi_init = []() -> CURLM* { return nullptr; };
    c.multi_cleanup = [](CURLM*) { return CURLM_BAD_HANDLE; };
    c.multi_add_handle = [](CURLM*, CURL*) { return CURLM_BAD_HANDLE; };
    c.multi_remove_handle = [](CURLM*, CURL*) { return CURLM_BAD_HANDLE; };
    c.multi_perform = [](CURLM*, int*) { return CURLM_BAD_HANDLE; };
    c.multi_info_read = [](CURLM*, int*) -> CURLMsg* { return nullptr; };
    c.multi_poll = [](CURLM*, curl_waitfd*, unsigned int, int, int*) { return CURLM_BAD_HANDLE; };
    c.multi_wakeup = [](CURLM*) { return CURLM_BAD_HANDLE; };
    return c;
}

template <typename F>
bool bind(void* lib, const char* name, F& slot) {
    void* p = ::dlsym(lib, name);
    if (!p) return false;
    slot = reinterpret_cast<F>(p);
    return true;
}

CurlLibrary loadLibrary() {
    // Kept open for the rest of the process; RTLD_LOCAL keeps its symbols
    // (and its dependencies') out of everyone else's lookups.
    void* lib = ::dlopen(kLibcurl, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = ::dlerror();
        platform::consoleLog("Web client > cannot load %s: %s", kLibcurl, why ? why : "");
        return missingLibrary();
    }
    CurlLibrary c{};
    const bool complete =
        bind(lib, "curl_global_init", c.global_init) && bind(lib, "curl_easy_init", c.easy_init) &&
        bind(lib, "curl_easy_cleanup", c.easy_cleanup) &&
        bind(lib, "curl_easy_setopt", c.easy_setopt) &&
        bind(lib, "curl_slist_append", c.slist_append) &&
        bind(lib, "curl_slist_free_all", c.slist_free_all) && bind(lib, "curl_free", c.free) &&
        bind(lib, "curl_url", c.url) && bind(lib, "curl_url_cleanup", c.url_cleanup) &&
        bind(lib, "curl_url_set", c.url_set) && bind(lib, "curl_url_get", c.url_get) &&
        bind(lib, "curl_multi_init", c.multi_init) &&
        bind(lib, "curl_multi_cleanup", c.multi_cleanup) &&
        bind(lib, "curl_multi_add_handle", c.multi_add_handle) &&
        bind(lib, "curl_multi_remove_handle", c.multi_remove_handle) &&
        bind(lib, "curl_multi_perform", c.multi_perform) &&
        bind(lib, "curl_multi_info_read", c.multi_info_read) &&
        bind(lib, "curl_multi_poll", c.multi_poll) &&
        bind(lib, "curl_multi_wakeup", c.multi_wakeup);
    if (!complete) {
        platform::consoleLog("Web client > %s lacks an entry point we use", kLibcurl);
        return missingLibrary();
    }
    return c;
}

}  // namespace

const CurlLibrary& curlLibrary() {
    static const CurlLibrary library = loadLibrary();
    return library;
}

}  // namespace vxmweb
