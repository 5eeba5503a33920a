#pragma once
// One exchange: sends a request once and fills its response.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "reporter/web/VXMWebRequest.h"
#include "reporter/web/VXMWebResponse.h"

class VXMWebClientTransaction : public std::enable_shared_from_this<VXMWebClientTransaction> {
  public:
    using CompletionHandler = std::function<void(const std::shared_ptr<VXMWebResponse>&)>;

    static constexpr const char* kPlistContentType = "application/x-plist";
    static constexpr const char* kJSONContentType = "application/json";

    static std::shared_ptr<VXMWebClientTransaction> transactionWithRequest(
        std::shared_ptr<VXMWebRequest> request);
    ~VXMWebClientTransaction();

    // Sends the request on the transport thread and returns at once. The
    // handler runs on the global concurrent queue with the decoded response.
    // A transaction starts at most once; later starts are ignored.
    void startWithCompletionHandler(CompletionHandler handler);
    // Sends the request on the calling thread and runs the handler there
    // before returning. The body stays the raw bytes.
    void syncStartWithCompletionHandler(CompletionHandler handler);

    const std::shared_ptr<VXMWebRequest>& request() const { return request_; }
    const std::shared_ptr<VXMWebResponse>& response() const { return response_; }
    // kPlistContentType, kJSONContentType or none.
    std::optional<std::string> contentType() const;

    // Events of the connection, in the order the transport reports them.
    void connectionDidReceiveResponse(unsigned long status, VXMHeaderMap headers);
    void connectionDidReceiveData(std::span<const uint8_t> bytes);
    void connectionDidFailWithError(platform::Error error);
    void connectionDidFinishLoading();
    // Server trust: the request's handler may refuse; without one, yes.
    bool connectionCanAuthenticateAgainstProtectionSpace(const VXMProtectionSpace& space);

    // The idle limit of every transaction (15 seconds): the longest time to
    // connect and the longest time without a byte moving. There is no limit
    // on the whole exchange, so large uploads may take as long as they need.
    static void setIdleLimit(std::chrono::seconds limit);
    static std::chrono::seconds idleLimit();

    // Tests only: trust the certificates in this PEM file instead of the
    // system store. Certificate and host checks stay on.
    static void setTrustedCertificatesFile(std::optional<std::string> path);

    // The body a completed transaction delivers for these bytes: none when
    // empty, the parsed value for JSON (none when it does not parse) or a
    // property list (none plus the parser's error when it does not parse),
    // else the bytes themselves.
    static platform::Value decodeBody(std::span<const uint8_t> data,
                                      const std::optional<std::string>& contentType,
                                      std::optional<platform::Error>& error);

    struct Exchange;

  private:
    explicit VXMWebClientTransaction(std::shared_ptr<VXMWebRequest> request);
    enum class Begin { Started, Failed, Ignored };
    Begin begin(CompletionHandler handler, bool recogniseContentType, platform::Error& error);
    void finish(int curlCode);
    void complete();

    std::shared_ptr<VXMWebRequest> request_;
    std::shared_ptr<VXMWebResponse> response_;
    mutable std::mutex mutex_;
    std::optional<std::string> contentType_;
    CompletionHandler handler_;
    bool started_ = false;
    bool recogniseContentType_ = false;
    std::unique_ptr<Exchange> exchange_;
};
