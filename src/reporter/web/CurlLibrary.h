#pragma once
// libcurl, opened on first use instead of linked. Linked, its TLS, Kerberos,
// LDAP and SSH dependencies (some two dozen libraries) were mapped and
// relocated at every start of the application, before main(), for a client
// that talks only after the window is up. Call through curlLibrary().
#include <curl/curl.h>

namespace vxmweb {

// Each entry has the type of libcurl's own declaration, so that the compiler
// checks every call against the real signature.
struct CurlLibrary {
    decltype(&curl_global_init) global_init;
    decltype(&curl_easy_init) easy_init;
    decltype(&curl_easy_cleanup) easy_cleanup;
    decltype(&curl_easy_setopt) easy_setopt;
    decltype(&curl_slist_append) slist_append;
    decltype(&curl_slist_free_all) slist_free_all;
    decltype(&curl_free) free;
    decltype(&curl_url) url;
    decltype(&curl_url_cleanup) url_cleanup;
    decltype(&curl_url_set) url_set;
    decltype(&curl_url_get) url_get;
    decltype(&curl_multi_init) multi_init;
    decltype(&curl_multi_cleanup) multi_cleanup;
    decltype(&curl_multi_add_handle) multi_add_handle;
    decltype(&curl_multi_remove_handle) multi_remove_handle;
    decltype(&curl_multi_perform) multi_perform;
    decltype(&curl_multi_info_read) multi_info_read;
    decltype(&curl_multi_poll) multi_poll;
    decltype(&curl_multi_wakeup) multi_wakeup;
};

// The library's entry points, loaded once (thread-safe). When libcurl cannot
// be opened (logged once), every call fails the way libcurl fails on a bad or
// missing handle: no handle is made, so no request starts.
const CurlLibrary& curlLibrary();

}  // namespace vxmweb
