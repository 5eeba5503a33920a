#include "reporter/web/CurlLibrary.h"

#include "platform/core/SharedLibrary.h"

namespace vxmweb {

namespace {

using platform::bindSharedSymbol;

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
    c.url_get = [](CURLU*, CURLUPart, char**, unsigned int) { return CURLUE_BAD_HANDLE; };
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

CurlLibrary loadLibrary() {
    void* lib = platform::openSharedLibrary(kLibcurl);
    if (!lib) return missingLibrary();
    CurlLibrary c{};
    const bool complete =
        bindSharedSymbol(lib, "curl_global_init", c.global_init) &&
        bindSharedSymbol(lib, "curl_easy_init", c.easy_init) &&
        bindSharedSymbol(lib, "curl_easy_cleanup", c.easy_cleanup) &&
        bindSharedSymbol(lib, "curl_easy_setopt", c.easy_setopt) &&
        bindSharedSymbol(lib, "curl_slist_append", c.slist_append) &&
        bindSharedSymbol(lib, "curl_slist_free_all", c.slist_free_all) &&
        bindSharedSymbol(lib, "curl_free", c.free) && bindSharedSymbol(lib, "curl_url", c.url) &&
        bindSharedSymbol(lib, "curl_url_cleanup", c.url_cleanup) &&
        bindSharedSymbol(lib, "curl_url_set", c.url_set) &&
        bindSharedSymbol(lib, "curl_url_get", c.url_get) &&
        bindSharedSymbol(lib, "curl_multi_init", c.multi_init) &&
        bindSharedSymbol(lib, "curl_multi_cleanup", c.multi_cleanup) &&
        bindSharedSymbol(lib, "curl_multi_add_handle", c.multi_add_handle) &&
        bindSharedSymbol(lib, "curl_multi_remove_handle", c.multi_remove_handle) &&
        bindSharedSymbol(lib, "curl_multi_perform", c.multi_perform) &&
        bindSharedSymbol(lib, "curl_multi_info_read", c.multi_info_read) &&
        bindSharedSymbol(lib, "curl_multi_poll", c.multi_poll) &&
        bindSharedSymbol(lib, "curl_multi_wakeup", c.multi_wakeup);
    return complete ? c : missingLibrary();
}

}  // namespace

const CurlLibrary& curlLibrary() {
    static const CurlLibrary library = loadLibrary();
    return library;
}

}  // namespace vxmweb
