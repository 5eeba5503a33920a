#include "reporter/web/VXMWebClientTransaction.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <tuple>

#include "reporter/web/CurlLibrary.h"
#include "reporter/web/VXMWebClient.h"
#include "reporter/web/VXMWebErrors.h"
#include "reporter/web/WebTransport.h"

namespace {

std::atomic<long> gIdleSeconds{15};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
    auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                          [](char a, char b) {
                              return std::tolower(static_cast<unsigned char>(a)) ==
                                     std::tolower(static_cast<unsigned char>(b));
                          });
    return it != haystack.end();
}

platform::Error transportError(CURLcode rc, const char* detail) {
    using namespace vxmweb;
    long code;
    const char* text;
    switch (rc) {
        case CURLE_OPERATION_TIMEDOUT:
            code = kURLErrorTimedOut;
            text = "The request timed out.";
            break;
        case CURLE_COULDNT_CONNECT:
            code = kURLErrorCannotConnectToHost;
            text = "Could not connect to the server.";
            break;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            code = kURLErrorCannotFindHost;
            text = "A server with the specified hostname could not be found.";
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
            code = kURLErrorServerCertificateUntrusted;
            text = "The certificate for this server is invalid.";
            break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            code = kURLErrorSecureConnectionFailed;
            text =
                "An SSL error has occurred and a secure connection to the server cannot be made.";
            break;
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            code = kURLErrorNetworkConnectionLost;
            text = "The network connection was lost.";
            break;
        case CURLE_URL_MALFORMAT:
            code = kURLErrorBadURL;
            text = "unsupported URL";
            break;
        case CURLE_UNSUPPORTED_PROTOCOL:
            code = kURLErrorUnsupportedURL;
            text = "unsupported URL";
            break;
        case CURLE_TOO_MANY_REDIRECTS:
            code = kURLErrorHTTPTooManyRedirects;
            text = "too many HTTP redirects";
            break;
        case CURLE_ABORTED_BY_CALLBACK:
            code = kURLErrorCancelled;
            text = "cancelled";
            break;
        default:
            code = kURLErrorUnknown;
            text = "An unknown error occurred.";
            break;
    }
    std::string description = text;
    if (detail && *detail) description += std::string(" (") + detail + ")";
    return platform::Error{kURLErrorDomain, code, description};
}

int sslExIndex() {
    static int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

}  // namespace

// The curl side of one transaction.
struct VXMWebClientTransaction::Exchange {
    using Clock = std::chrono::steady_clock;

    VXMWebClientTransaction* owner = nullptr;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    VXMProtectionSpace space;
    vxmweb::HeaderBlock block;

    // The body, read piece by piece as curl asks for it.
    VXMRequestBody body;
    size_t piece = 0;
    uint64_t pieceOffset = 0;
    bool bodyExhausted = false;  // a file part ended before its size

    // Idleness: the time since a byte last moved either way.
    Clock::duration idleLimit{};
    Clock::time_point lastProgress = Clock::now();
    curl_off_t lastSent = -1, lastReceived = -1;
    bool idleTimedOut = false;

    // The body taken in so far, against the request's bound.
    uint64_t maximumBody = 0;
    uint64_t receivedBody = 0;
    bool bodyTooLarge = false;

    // Redirects are followed within the origin of the request only.
    bool followsRedirects = false;
    std::string currentURL;
    bool redirectRefused = false;

    void moved() { lastProgress = Clock::now(); }

    ~Exchange() {
        if (easy) vxmweb::curlLibrary().easy_cleanup(easy);
        vxmweb::curlLibrary().slist_free_all(headers);
    }
};

namespace {

using Exchange = VXMWebClientTransaction::Exchange;

// "scheme://host:port" of `url`, resolved against `base` when relative;
// none when it does not parse. The resolved URL goes to `resolved`.
std::optional<std::string> originOf(const std::string& url, const std::string* base,
                                    std::string* resolved = nullptr) {
    const auto& curl = vxmweb::curlLibrary();
    CURLU* u = curl.url();
    if (!u) return std::nullopt;
    bool ok = (!base || curl.url_set(u, CURLUPART_URL, base->c_str(), 0) == CURLUE_OK) &&
              curl.url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    std::string origin;
    for (auto [part, flags, separator] :
         {std::tuple{CURLUPART_SCHEME, 0u, "://"}, std::tuple{CURLUPART_HOST, 0u, ":"},
          std::tuple{CURLUPART_PORT, static_cast<unsigned>(CURLU_DEFAULT_PORT), ""}}) {
        char* text = nullptr;
        if (!ok || curl.url_get(u, part, &text, flags) != CURLUE_OK) {
            ok = false;
            break;
        }
        std::string piece = text;
        curl.free(text);
        if (part != CURLUPART_PORT)
            std::transform(piece.begin(), piece.end(), piece.begin(),
                           [](unsigned char c) { return std::tolower(c); });
        origin += piece + separator;
    }
    if (ok && resolved) {
        char* text = nullptr;
        ok = curl.url_get(u, CURLUPART_URL, &text, 0) == CURLUE_OK;
        if (ok) *resolved = text;
        curl.free(text);
    }
    curl.url_cleanup(u);
    if (!ok) return std::nullopt;
    return origin;
}

bool isRedirect(unsigned long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* ex = static_cast<Exchange*>(user);
    ex->moved();
    if (!vxmweb::feedHeaderLine(ex->block, std::string_view(data, size * count)))
        return size * count;
    ex->owner->connectionDidReceiveResponse(ex->block.status, ex->block.headers);
    if (!ex->followsRedirects || !isRedirect(ex->block.status)) return size * count;
    auto location = ex->block.headers.find("Location");
    if (location == ex->block.headers.end()) return size * count;
    // The request's headers (the API key, the device's identity) go only
    // where the request was sent: another origin, or http for https, ends the
    // exchange here with the redirect as its answer.
    std::string target;
    auto from = originOf(ex->currentURL, nullptr);
    auto to = originOf(location->second, &ex->currentURL, &target);
    if (from && to && *from == *to) {
        ex->currentURL = target;
        return size * count;
    }
    ex->redirectRefused = true;
    return 0;
}

size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* ex = static_cast<Exchange*>(user);
    ex->moved();
    const size_t n = size * count;
    // An answer can be endless: no more than the request can need is kept.
    if (n > ex->maximumBody - ex->receivedBody) {
        ex->bodyTooLarge = true;
        return 0;
    }
    ex->receivedBody += n;
    ex->owner->connectionDidReceiveData(std::span(reinterpret_cast<const uint8_t*>(data), n));
    return n;
}

// Hands curl the next bytes of the body: text from memory, file parts read
// from disk as they go out.
size_t onRead(char* buffer, size_t size, size_t count, void* user) {
    auto* ex = static_cast<Exchange*>(user);
    const size_t room = size * count;
    size_t written = 0;
    while (written < room && ex->piece < ex->body.pieces.size()) {
        const VXMRequestBody::Piece& piece = ex->body.pieces[ex->piece];
        const uint64_t left = piece.size() - ex->pieceOffset;
        if (left == 0) {
            ++ex->piece;
            ex->pieceOffset = 0;
            continue;
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(room - written, left));
        if (piece.file) {
            ssize_t got = ::pread(piece.file->descriptor(), buffer + written, n,
                                  static_cast<off_t>(ex->pieceOffset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                ex->bodyExhausted = true;
                return CURL_READFUNC_ABORT;
            }
            n = static_cast<size_t>(got);
        } else {
            std::memcpy(buffer + written, piece.bytes.data() + ex->pieceOffset, n);
        }
        written += n;
        ex->pieceOffset += n;
    }
    return written;
}

// Rewinds (or moves) the body for curl, should it send it again.
int onSeek(void* user, curl_off_t offset, int origin) {
    auto* ex = static_cast<Exchange*>(user);
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    uint64_t remaining = static_cast<uint64_t>(offset);
    for (size_t i = 0; i < ex->body.pieces.size(); ++i) {
        uint64_t size = ex->body.pieces[i].size();
        if (remaining < size || (remaining == size && i + 1 == ex->body.pieces.size())) {
            ex->piece = i;
            ex->pieceOffset = remaining;
            return CURL_SEEKFUNC_OK;
        }
        remaining -= size;
    }
    if (remaining != 0) return CURL_SEEKFUNC_FAIL;
    ex->piece = ex->body.pieces.size();
    ex->pieceOffset = 0;
    return CURL_SEEKFUNC_OK;
}

// Ends the exchange once no byte has moved either way for the idle limit.
// curl calls it at least at every pass of the transfer loop.
int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
    auto* ex = static_cast<Exchange*>(user);
    if (received != ex->lastReceived || sent != ex->lastSent) {
        ex->lastReceived = received;
        ex->lastSent = sent;
        ex->moved();
        return 0;
    }
    if (Exchange::Clock::now() - ex->lastProgress < ex->idleLimit) return 0;
    ex->idleTimedOut = true;
    return 1;
}

// Consulted once the chain has been verified, for the server's own certificate.
int verifyPeer(int preverified, X509_STORE_CTX* store) {
    if (!preverified || X509_STORE_CTX_get_error_depth(store) != 0) return preverified;
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* ex = ssl ? static_cast<Exchange*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), sslExIndex()))
                   : nullptr;
    if (!ex || ex->owner->connectionCanAuthenticateAgainstProtectionSpace(ex->space)) return 1;
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

CURLcode onSslContext(CURL*, void* sslContext, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    SSL_CTX_set_ex_data(ctx, sslExIndex(), user);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, verifyPeer);
    return CURLE_OK;
}

bool methodCarriesNoBody(const std::string& method) {
    return method == "GET" || method == "HEAD";
}

}  // namespace

std::shared_ptr<VXMWebClientTransaction> VXMWebClientTransaction::transactionWithRequest(
    std::shared_ptr<VXMWebRequest> request) {
    vxmweb::initializeTransport();
    return std::shared_ptr<VXMWebClientTransaction>(
        new VXMWebClientTransaction(std::move(request)));
}

VXMWebClientTransaction::VXMWebClientTransaction(std::shared_ptr<VXMWebRequest> request)
    : request_(std::move(request)), response_(std::make_shared<VXMWebResponse>()) {}

VXMWebClientTransaction::~VXMWebClientTransaction() = default;

void VXMWebClientTransaction::setIdleLimit(std::chrono::seconds limit) {
    gIdleSeconds = std::max<long>(1, static_cast<long>(limit.count()));
}

std::chrono::seconds VXMWebClientTransaction::idleLimit() {
    return std::chrono::seconds(gIdleSeconds.load());
}

void VXMWebClientTransaction::setTrustedCertificatesFile(std::optional<std::string> path) {
    vxmweb::setTrustedCertificatesFile(std::move(path));
}

std::optional<std::string> VXMWebClientTransaction::contentType() const {
    std::lock_guard lock(mutex_);
    return contentType_;
}

void VXMWebClientTransaction::connectionDidReceiveResponse(unsigned long status,
                                                           VXMHeaderMap headers) {
    std::lock_guard lock(mutex_);
    response_->setStatusCode(status);
    if (recogniseContentType_) {
        contentType_.reset();
        auto it = headers.find("Content-Type");
        if (it != headers.end()) {
            // The property-list test comes first.
            if (containsIgnoringCase(it->second, kPlistContentType)) {
                contentType_ = kPlistContentType;
            } else if (containsIgnoringCase(it->second, kJSONContentType)) {
                contentType_ = kJSONContentType;
            }
        }
    }
    response_->setResponseHeaders(std::move(headers));
}

void VXMWebClientTransaction::connectionDidReceiveData(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    response_->appendData(bytes);
}

void VXMWebClientTransaction::connectionDidFailWithError(platform::Error error) {
    {
        std::lock_guard lock(mutex_);
        response_->setError(std::move(error));
    }
    complete();
}

void VXMWebClientTransaction::connectionDidFinishLoading() {
    complete();
}

bool VXMWebClientTransaction::connectionCanAuthenticateAgainstProtectionSpace(
    const VXMProtectionSpace& space) {
    const auto& handler = request_->protectionSpaceHandler();
    return !handler || handler(space);
}

VXMWebClientTransaction::Begin VXMWebClientTransaction::begin(CompletionHandler handler,
                                                              bool recogniseContentType,
                                                              platform::Error& error) {
    {
        std::lock_guard lock(mutex_);
        if (started_ || !request_) return Begin::Ignored;
        started_ = true;
        handler_ = std::move(handler);
        recogniseContentType_ = recogniseContentType;
    }
    auto platformRequest = request_->URLRequest(&error);
    if (!platformRequest) {
        if (auto url = request_->URL()) response_->setRequestURL(*url);
        return Begin::Failed;
    }
    response_->setRequestURL(platformRequest->url);

    auto ex = std::make_unique<Exchange>();
    ex->owner = this;
    ex->easy = vxmweb::curlLibrary().easy_init();
    if (!ex->easy) {
        error = transportError(CURLE_FAILED_INIT, nullptr);
        return Begin::Failed;
    }
    CURL* e = ex->easy;
    const std::string& method = platformRequest->method;
    const long idle = gIdleSeconds.load();

    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_URL, platformRequest->url.c_str());
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // The crash reporter owns the signal handlers.
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_ERRORBUFFER, ex->errorBuffer);
    // An idle limit, measured from the last byte moved, never a limit on the
    // whole exchange.
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_CONNECTTIMEOUT, idle);
    ex->idleLimit = std::chrono::seconds(idle);
    ex->maximumBody = platformRequest->maximumResponseSize;
    ex->currentURL = platformRequest->url;
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_XFERINFODATA, ex.get());
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (auto ca = vxmweb::trustedCertificatesFile())
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_CAINFO, ca->c_str());
    if (request_->protectionSpaceHandler()) {
        CURLU* u = vxmweb::curlLibrary().url();
        if (u && vxmweb::curlLibrary().url_set(u, CURLUPART_URL, platformRequest->url.c_str(), 0) ==
                     CURLUE_OK) {
            char* part = nullptr;
            if (vxmweb::curlLibrary().url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK)
                ex->space.host = part;
            vxmweb::curlLibrary().free(part);
            part = nullptr;
            if (vxmweb::curlLibrary().url_get(u, CURLUPART_PORT, &part, CURLU_DEFAULT_PORT) ==
                CURLUE_OK)
                ex->space.port = std::strtol(part, nullptr, 10);
            vxmweb::curlLibrary().free(part);
            part = nullptr;
            if (vxmweb::curlLibrary().url_get(u, CURLUPART_SCHEME, &part, 0) == CURLUE_OK)
                ex->space.protocol = part;
            vxmweb::curlLibrary().free(part);
        }
        vxmweb::curlLibrary().url_cleanup(u);
        // The handler is asked on every connection, never skipped by reuse.
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, onSslContext);
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_SSL_CTX_DATA, ex.get());
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    }

    const bool hasBody = platformRequest->body.has_value();
    if (hasBody) ex->body = std::move(*platformRequest->body);
    bool hasContentType = false;
    for (const auto& [name, value] : platformRequest->headers) {
        // "Name;" is how curl sends a header with an empty value.
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        ex->headers = vxmweb::curlLibrary().slist_append(ex->headers, line.c_str());
        hasContentType |= equalsIgnoringCase(name, "Content-Type");
    }
    if (methodCarriesNoBody(method) && !hasBody) {
        if (method == "HEAD") {
            vxmweb::curlLibrary().easy_setopt(e, CURLOPT_NOBODY, 1L);
        } else {
            vxmweb::curlLibrary().easy_setopt(e, CURLOPT_HTTPGET, 1L);
        }
        // A redirect of a GET is followed within its origin (onHeader).
        ex->followsRedirects = true;
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_MAXREDIRS, 16L);
    } else {
        // Anything with a body is sent once to the given URL; a redirect
        // comes back as its 3xx status instead of turning into a GET.
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_POST, 1L);
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_READFUNCTION, onRead);
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_READDATA, ex.get());
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_SEEKFUNCTION, onSeek);
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_SEEKDATA, ex.get());
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                                          static_cast<curl_off_t>(ex->body.size()));
        if (method != "POST")
            vxmweb::curlLibrary().easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
        // Sent once per attempt: on a connection of its own, curl never sends
        // the body again after the server closed a reused one.
        vxmweb::curlLibrary().easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
        // No default form type on a bare POST.
        if (!hasContentType)
            ex->headers = vxmweb::curlLibrary().slist_append(ex->headers, "Content-Type:");
    }
    // Large bodies go at once rather than after a "100-continue" pause.
    ex->headers = vxmweb::curlLibrary().slist_append(ex->headers, "Expect:");
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_HTTPHEADER, ex->headers);
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_HEADERDATA, ex.get());
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_WRITEFUNCTION, onData);
    vxmweb::curlLibrary().easy_setopt(e, CURLOPT_WRITEDATA, ex.get());

    std::lock_guard lock(mutex_);
    exchange_ = std::move(ex);
    return Begin::Started;
}

void VXMWebClientTransaction::startWithCompletionHandler(CompletionHandler handler) {
    auto self = shared_from_this();
    platform::Error error;
    switch (begin(std::move(handler), true, error)) {
        case Begin::Ignored:
            return;
        case Begin::Failed:
            vxmweb::dispatchCompletion([self, error] { self->connectionDidFailWithError(error); });
            return;
        case Begin::Started:
            break;
    }
    // The transport holds the transaction until the exchange has ended.
    vxmweb::startTransfer(exchange_->easy, [self](int rc) {
        // Decoding and the caller's handler run off the transport thread.
        vxmweb::dispatchCompletion([self, rc] { self->finish(rc); });
    });
}

void VXMWebClientTransaction::syncStartWithCompletionHandler(CompletionHandler handler) {
    auto self = shared_from_this();
    platform::Error error;
    switch (begin(std::move(handler), false, error)) {
        case Begin::Ignored:
            return;
        case Begin::Failed:
            connectionDidFailWithError(std::move(error));
            return;
        case Begin::Started:
            break;
    }
    finish(vxmweb::performTransfer(exchange_->easy));
}

void VXMWebClientTransaction::finish(int curlCode) {
    std::unique_ptr<Exchange> ex;
    {
        std::lock_guard lock(mutex_);
        ex = std::move(exchange_);
    }
    auto rc = static_cast<CURLcode>(curlCode);
    // A redirect elsewhere is the answer itself, not a failure.
    if (rc == CURLE_WRITE_ERROR && ex && ex->redirectRefused) rc = CURLE_OK;
    if (rc != CURLE_OK) {
        if (ex && ex->bodyTooLarge) {
            connectionDidFailWithError(
                platform::Error{vxmweb::kURLErrorDomain, vxmweb::kURLErrorDataLengthExceedsMaximum,
                                "resource exceeds maximum size (more than " +
                                    std::to_string(ex->maximumBody) + " bytes)"});
            return;
        }
        if (ex && ex->bodyExhausted) {
            connectionDidFailWithError(platform::Error{
                vxmweb::kURLErrorDomain, vxmweb::kURLErrorRequestBodyStreamExhausted,
                "A file of the request body ended before its size (" +
                    std::string(ex->errorBuffer) + ")"});
            return;
        }
        if (ex && ex->idleTimedOut) rc = CURLE_OPERATION_TIMEDOUT;
        connectionDidFailWithError(
            transportError(rc, ex && !ex->idleTimedOut ? ex->errorBuffer : nullptr));
        return;
    }
    {
        std::lock_guard lock(mutex_);
        unsigned long status = response_->statusCode();
        bool challenged = (status == 401 && response_->headerValue("WWW-Authenticate")) ||
                          (status == 407 && response_->headerValue("Proxy-Authenticate"));
        if (challenged) {
            // Only server trust is handled; any other challenge ends the exchange.
            response_->setError(platform::Error{vxmweb::kWebClientErrorDomain,
                                                vxmweb::kAuthenticationChallengeError,
                                                "The server asked for authentication."});
        }
    }
    connectionDidFinishLoading();
}

void VXMWebClientTransaction::complete() {
    CompletionHandler handler;
    std::shared_ptr<VXMWebResponse> response;
    {
        std::lock_guard lock(mutex_);
        if (!handler_) return;
        handler = std::move(handler_);
        handler_ = nullptr;
        response = response_;
        std::optional<platform::Error> error;
        platform::Value body = decodeBody(response_->responseData(), contentType_, error);
        if (error && !response_->error()) response_->setError(std::move(error));
        response_->setBody(std::move(body));
    }
    handler(response);
}

platform::Value VXMWebClientTransaction::decodeBody(std::span<const uint8_t> data,
                                                    const std::optional<std::string>& contentType,
                                                    std::optional<platform::Error>& error) {
    if (data.empty()) return platform::Value();
    if (contentType == kJSONContentType) {
        // A JSON body that does not parse is simply no body.
        return VXMWebClient::decodeJSON(data).value_or(platform::Value());
    }
    if (contentType == kPlistContentType) {
        platform::Error parseError;
        if (auto v = platform::Value::fromPlist(data, &parseError)) return std::move(*v);
        error = std::move(parseError);
        return platform::Value();
    }
    return platform::Value(platform::Value::Data(data.begin(), data.end()));
}
