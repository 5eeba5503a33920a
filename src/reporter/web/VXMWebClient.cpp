#include "reporter/web/VXMWebClient.h"

#include <set>

#include "platform/core/Dispatch.h"
#include "reporter/web/CurlLibrary.h"
#include "reporter/web/WebTransport.h"

namespace {
std::optional<std::string> resolveAgainst(const std::string& base, const std::string& path);
}

struct VXMWebClient::State {
    std::string baseURL;
    // Owns the default headers and the transaction set; a synchronous
    // exchange holds it from start to completion.
    platform::DispatchQueuePtr queue = platform::DispatchQueue::serial("com.vexmor.rest-client");
    VXMHeaderMap headers;
    std::set<std::shared_ptr<VXMWebClientTransaction>> connections;
    VXMWebClientCacheDelegate* cacheDelegate = nullptr;
};

namespace {

std::string escape(std::string_view text, std::string_view keep) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        bool plain = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
                     (u && keep.find(c) != std::string_view::npos);
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

}  // namespace

VXMWebClient::VXMWebClient(std::string baseURL) : state_(std::make_shared<State>()) {
    prepareTransport();
    state_->baseURL = std::move(baseURL);
    state_->headers.emplace("Accept", "application/json, application/x-plist");
}

VXMWebClient::~VXMWebClient() = default;

void VXMWebClient::prepareTransport() {
    vxmweb::initializeTransport();
}

std::string VXMWebClient::escapeURLString(std::string_view text) {
    return escape(text, "-._~");
}

std::string VXMWebClient::addPercentEscapes(std::string_view text) {
    return escape(text, "-._~!*'();:@&=+$,/?#[]");
}

std::optional<platform::Value> VXMWebClient::decodeJSON(std::span<const uint8_t> bytes) {
    return platform::Value::fromJSON(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void VXMWebClient::addValueForHeader(std::string value, std::string header) {
    state_->queue->sync([&] {
        state_->headers.erase(header);
        state_->headers.emplace(std::move(header), std::move(value));
    });
}

VXMHeaderMap VXMWebClient::customHeaders() const {
    VXMHeaderMap out;
    state_->queue->sync([&] { out = state_->headers; });
    return out;
}

std::optional<std::string> VXMWebClient::resolve(const std::string& path) const {
    return resolveAgainst(state_->baseURL, path);
}

namespace {

std::optional<std::string> resolveAgainst(const std::string& base, const std::string& path) {
    CURLU* u = vxmweb::curlLibrary().url();
    if (!u) return std::nullopt;
    std::optional<std::string> out;
    if (vxmweb::curlLibrary().url_set(u, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
        (path.empty() ||
         vxmweb::curlLibrary().url_set(u, CURLUPART_URL, path.c_str(), 0) == CURLUE_OK)) {
        char* text = nullptr;
        if (vxmweb::curlLibrary().url_get(u, CURLUPART_URL, &text, 0) == CURLUE_OK) out = text;
        vxmweb::curlLibrary().free(text);
    }
    vxmweb::curlLibrary().url_cleanup(u);
    return out;
}

// Steps on the client's queue before a transaction starts.
void prepare(const VXMWebClient::State& state, VXMWebRequest& request) {
    if (!request.URL()) request.setURL(resolveAgainst(state.baseURL, request.path()));
    request.addHeaders(state.headers);
}

}  // namespace

void VXMWebClient::startRequest(std::shared_ptr<VXMWebRequest> request, Completion completion) {
    auto state = state_;
    state->queue->async(
        [state, request = std::move(request), completion = std::move(completion)]() mutable {
            prepare(*state, *request);
            auto tx = VXMWebClientTransaction::transactionWithRequest(std::move(request));
            state->connections.insert(tx);
            // The transaction's handler already runs on the global concurrent queue.
            tx->startWithCompletionHandler([state, tx, completion = std::move(completion)](
                                               const std::shared_ptr<VXMWebResponse>& response) {
                if (completion) completion(response);
                state->queue->async([state, tx] { state->connections.erase(tx); });
            });
        });
}

void VXMWebClient::syncStartRequest(std::shared_ptr<VXMWebRequest> request, Completion completion) {
    auto state = state_;
    state->queue->sync([&] {
        prepare(*state, *request);
        auto tx = VXMWebClientTransaction::transactionWithRequest(std::move(request));
        state->connections.insert(tx);
        tx->syncStartWithCompletionHandler(
            [&completion](const std::shared_ptr<VXMWebResponse>& response) {
                if (completion) completion(response);
            });
        state->connections.erase(tx);
    });
}

namespace {

VXMWebClient::Completion expecting(unsigned long expected, VXMWebClient::Completion completion) {
    if (!completion) return [](const std::shared_ptr<VXMWebResponse>&) {};
    return [expected,
            completion = std::move(completion)](const std::shared_ptr<VXMWebResponse>& response) {
        if (!response->error() && response->statusCode() != expected) {
            response->setError(
                platform::Error{vxmweb::kWebClientErrorDomain, vxmweb::kUnexpectedStatusError,
                                "Expected status " + std::to_string(expected) + ", received " +
                                    std::to_string(response->statusCode()) + "."});
        }
        completion(response);
    };
}

}  // namespace

void VXMWebClient::startRequestExpectingResponse(std::shared_ptr<VXMWebRequest> request,
                                                 unsigned long expected, Completion completion) {
    startRequest(std::move(request), expecting(expected, std::move(completion)));
}

void VXMWebClient::syncStartRequestExpectingResponse(std::shared_ptr<VXMWebRequest> request,
                                                     unsigned long expected,
                                                     Completion completion) {
    syncStartRequest(std::move(request), expecting(expected, std::move(completion)));
}

void VXMWebClient::getPath(const std::string& path, Completion completion) {
    auto url = resolve(path);
    if (!url) {
        // Let the transaction report the bad URL through the completion.
        auto request = VXMWebRequest::requestWithMethod("GET", path);
        request->setURL(std::string());
        startRequest(std::move(request), std::move(completion));
        return;
    }
    getURL(*url, std::move(completion));
}

void VXMWebClient::getURL(const std::string& url, Completion completion) {
    std::string path;
    if (CURLU* u = vxmweb::curlLibrary().url()) {
        char* part = nullptr;
        if (vxmweb::curlLibrary().url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
            vxmweb::curlLibrary().url_get(u, CURLUPART_PATH, &part, 0) == CURLUE_OK) {
            path = part;
        }
        vxmweb::curlLibrary().free(part);
        vxmweb::curlLibrary().url_cleanup(u);
    }
    auto request = VXMWebRequest::requestWithMethod("GET", path);
    request->setURL(url);
    startRequest(std::move(request), std::move(completion));
}

void VXMWebClient::postFormData(const std::map<std::string, std::string>& dict, std::string path,
                                Completion completion) {
    auto request = VXMWebRequest::requestWithMethod("POST", std::move(path));
    request->setFormData(dict);
    startRequest(std::move(request), std::move(completion));
}

const std::string& VXMWebClient::URL() const {
    return state_->baseURL;
}

VXMWebClientCacheDelegate* VXMWebClient::cacheDelegate() const {
    return state_->cacheDelegate;
}

void VXMWebClient::setCacheDelegate(VXMWebClientCacheDelegate* delegate) {
    state_->cacheDelegate = delegate;
}

size_t VXMWebClient::connectionCount() const {
    size_t n = 0;
    state_->queue->sync([&] { n = state_->connections.size(); });
    return n;
}
