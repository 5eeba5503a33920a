#pragma once
// libcurl, opened on first use instead of linked. Linked, its TLS, Kerberos,
// LDAP and SSH dependencies (some two dozen libraries) were mapped and
// relocated at every start of the application, before main(), for a client
// that talks only after the window is up. Call through curlLibrary().
#include <curl/curl.h>

namespace vxmweb {

struct CurlLibrary {
    CURLcode (*global_init)(long flags);
    CURL* (*easy_init)();
    void (*easy_cleanup)(CURL* handle);
    CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
    curl_slist* (*slist_append)(curl_slist* list, const char* text);
    void (*slist_free_all)(curl_slist* list);
    void (*free)(void* p);
    CURLU* (*url)();
    void (*url_cleanup)(CURLU* handle);
    CURLUcode (*url_set)(CURLU* handle, CURLUPart what, const char* part, unsigned int flags);
    CURLUcode (*url_get)(const CURLU* handle, CURLUPart what, char** part, unsigned int flags);
    CURLM* (*multi_init)();
    CURLMcode (*multi_cleanup)(CURLM* multi);
    CURLMcode (*multi_add_handle)(CURLM* multi, CURL* easy);
    CURLMcode (*multi_remove_handle)(CURLM* multi, CURL* easy);
    CURLMcode (*multi_perform)(CURLM* multi, int* running);
    CURLMsg* (*multi_info_read)(CURLM* multi, int* left);
    CURLMcode (*multi_poll)(CURLM* multi, curl_waitfd fds[], unsigned int count, int timeoutMs,
                            int* ready);
    CURLMcode (*multi_wakeup)(CURLM* multi);
};

// The library's entry points, loaded once (thread-safe). When libcurl cannot
// be opened (logged once), every call fails the way libcurl fails on a bad or
// missing handle: no handle is made, so no request starts.
const CurlLibrary& curlLibrary();

}  // namespace vxmweb
