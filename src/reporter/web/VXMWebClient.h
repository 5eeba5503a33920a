#pragma once
// The HTTP client of one base URL: default headers, the set of running
// transactions, asynchronous and synchronous starts.
//
// Threads: the client's serial queue "com.vexmor.rest-client" owns its
// default headers and its transaction set. Asynchronous completions run on
// the global concurrent queue of default priority; a caller that needs
// another queue hops there itself. A synchronous start runs the exchange and
// its completion inside a sync onto the client's queue, on the calling
// thread, and returns afterwards; other requests of the same client wait
// behind it, and its completion must not wait for the client's queue.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/core/Value.h"
#include "reporter/web/VXMWebClientTransaction.h"
#include "reporter/web/VXMWebErrors.h"
#include "reporter/web/VXMWebRequest.h"
#include "reporter/web/VXMWebResponse.h"

// Stored by the client and never consulted.
class VXMWebClientCacheDelegate {
  public:
    virtual ~VXMWebClientCacheDelegate() = default;
};

class VXMWebClient {
  public:
    using Completion = VXMWebClientTransaction::CompletionHandler;

    explicit VXMWebClient(std::string baseURL);
    ~VXMWebClient();
    VXMWebClient(const VXMWebClient&) = delete;
    VXMWebClient& operator=(const VXMWebClient&) = delete;

    // Initialises the HTTP library. Safe to call more than once; a program
    // that installs signal handlers calls it first (the library's global
    // set-up is not thread-safe).
    static void prepareTransport();

    // Percent-escapes a path segment or query value: every byte of the
    // UTF-8 text except letters, digits and "-._~" becomes %XX (upper-case).
    static std::string escapeURLString(std::string_view text);
    // The plain escaping of text for use in a URL: like escapeURLString but
    // keeps the URL delimiters !*'();:@&=+$,/?#[] as they are.
    static std::string addPercentEscapes(std::string_view text);
    // The JSON value of the bytes, or none when they do not parse.
    static std::optional<platform::Value> decodeJSON(std::span<const uint8_t> bytes);

    // Sets a default header that every request gets unless it has its own.
    void addValueForHeader(std::string value, std::string header);
    VXMHeaderMap customHeaders() const;

    // Runs the request asynchronously. Without a URL the request gets its
    // path resolved against the base URL; it receives the default headers
    // that it does not set itself.
    void startRequest(std::shared_ptr<VXMWebRequest> request, Completion completion);
    // Runs the request and returns after its completion has run (on the
    // calling thread). The body of the response is the raw bytes.
    void syncStartRequest(std::shared_ptr<VXMWebRequest> request, Completion completion);
    // The same, turning any status other than `expected` into the error
    // kWebClientErrorDomain kUnexpectedStatusError (unless an error is set).
    void startRequestExpectingResponse(std::shared_ptr<VXMWebRequest> request,
                                       unsigned long expected, Completion completion);
    void syncStartRequestExpectingResponse(std::shared_ptr<VXMWebRequest> request,
                                           unsigned long expected, Completion completion);

    // GET of a path relative to the base URL, or of an absolute URL.
    void getPath(const std::string& path, Completion completion);
    void getURL(const std::string& url, Completion completion);
    // POST of the dictionary as text form fields.
    void postFormData(const std::map<std::string, std::string>& dict, std::string path,
                      Completion completion);

    // `path` resolved against the base URL, or none when that fails.
    std::optional<std::string> resolve(const std::string& path) const;

    const std::string& URL() const;
    VXMWebClientCacheDelegate* cacheDelegate() const;
    void setCacheDelegate(VXMWebClientCacheDelegate* delegate);  // not owned
    // Transactions started and not yet completed.
    size_t connectionCount() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};
