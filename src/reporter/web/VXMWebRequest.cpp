#include "reporter/web/VXMWebRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

#include "reporter/web/VXMWebClient.h"
#include "reporter/web/VXMWebErrors.h"

bool VXMHeaderNameLess::operator()(std::string_view a, std::string_view b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) <
               std::tolower(static_cast<unsigned char>(y));
    });
}

namespace {

// An HTTP token (RFC 9110): what a method or header name may consist of.
bool isToken(std::string_view s) {
    if (s.empty()) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        unsigned char u = static_cast<unsigned char>(c);
        return std::isalnum(u) ||
               std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
}

// A header value must not end the header line early or smuggle another one.
bool isSafeHeaderValue(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool parsesAsURL(const std::string& text) {
    CURLU* u = curl_url();
    if (!u) return false;
    CURLUcode rc = curl_url_set(u, CURLUPART_URL, text.c_str(), 0);
    curl_url_cleanup(u);
    return rc == CURLUE_OK;
}

void append(std::vector<uint8_t>& out, std::string_view s) {
    out.insert(out.end(), s.begin(), s.end());
}

}  // namespace

std::shared_ptr<VXMWebRequest> VXMWebRequest::requestWithMethod(std::string method,
                                                                std::string path) {
    auto r = std::make_shared<VXMWebRequest>(std::move(method));
    r->path_ = std::move(path);
    return r;
}

VXMWebRequest::VXMWebRequest(std::string method) : method_(std::move(method)) {}

void VXMWebRequest::addValueForHTTPHeaderField(std::string value, std::string field) {
    // Take the latest spelling of the name along with the value.
    customHeaders_.erase(field);
    customHeaders_.emplace(std::move(field), std::move(value));
}

void VXMWebRequest::addHeaders(const VXMHeaderMap& headers) {
    for (const auto& [name, value] : headers) customHeaders_.emplace(name, value);
}

std::vector<VXMFormRecord>& VXMWebRequest::records() {
    if (!formFields_) formFields_.emplace();
    return *formFields_;
}

void VXMWebRequest::addValueForFormField(std::optional<std::string> value, std::string field) {
    VXMFormRecord r;
    if (value) {
        r.field = std::move(field);
        r.value = std::move(*value);
        r.mimeType = "text/plain";
    }
    records().push_back(std::move(r));
}

void VXMWebRequest::addDataForFormField(std::optional<std::vector<uint8_t>> data,
                                        std::optional<std::string> mimeType, std::string fileName,
                                        std::string field) {
    VXMFormRecord r;
    if (data) {
        r.field = std::move(field);
        r.value = std::move(*data);
        r.mimeType = std::move(mimeType);
        r.fileName = std::move(fileName);
    }
    records().push_back(std::move(r));
}

void VXMWebRequest::addValueForFormFromDict(const std::map<std::string, std::string>& dict,
                                            std::string_view prefix) {
    for (const auto& [key, value] : dict) {
        addValueForFormField(value, std::string(prefix) + "[" + key + "]");
    }
}

void VXMWebRequest::setFormData(const std::map<std::string, std::string>& dict) {
    for (const auto& [key, value] : dict) addValueForFormField(value, key);
}

std::optional<std::string> VXMWebRequest::fullURL() const {
    if (!url_) return std::nullopt;
    std::string text = *url_;
    if (parameters_ && !parameters_->empty()) {
        // A URL that already has a query gets the parameters joined to it.
        text += text.find('?') == std::string::npos ? '?' : '&';
        for (const auto& [key, value] : *parameters_) {
            text += VXMWebClient::escapeURLString(key) + "=" +
                    VXMWebClient::escapeURLString(value) + "&";
        }
        text.pop_back();
    }
    if (!parsesAsURL(text)) return std::nullopt;
    return text;
}

std::optional<std::vector<uint8_t>> VXMWebRequest::formData() {
    if (!formFields_ || formFields_->empty()) return std::nullopt;
    const std::string boundary = kBoundary;
    std::vector<uint8_t> body;
    append(body, "MIME-Version: 1.0\r\n");
    for (const auto& r : *formFields_) {
        if (auto* text = std::get_if<std::string>(&r.value)) {
            append(body, "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + r.field +
                             "\"\r\n");
            append(body, "Content-Type: text/plain\r\n\r\n");
            append(body, *text);
            append(body, "\r\n");
        } else if (auto* bytes = std::get_if<std::vector<uint8_t>>(&r.value)) {
            append(body, "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + r.field +
                             "\"; filename=\"" + r.fileName.value_or("") + "\"\r\n");
            if (r.mimeType) {
                append(body, "Content-Type: " + *r.mimeType + "\r\n");
                append(body, "Content-Transfer-Encoding: binary\r\n\r\n");
            } else {
                append(body, "Content-Type: application/octet-stream\r\n\r\n");
            }
            body.insert(body.end(), bytes->begin(), bytes->end());
            append(body, "\r\n");
        }
    }
    append(body, "--" + boundary + "--\r\n");
    addValueForHTTPHeaderField("multipart/form-data; boundary=" + boundary, "Content-Type");
    return body;
}

std::optional<VXMURLRequest> VXMWebRequest::URLRequest(platform::Error* error) {
    auto fail = [&](const char* domain, long code,
                    std::string why) -> std::optional<VXMURLRequest> {
        platform::setError(error, platform::Error{domain, code, std::move(why)});
        return std::nullopt;
    };
    VXMURLRequest out;
    auto url = fullURL();
    if (!url) return fail(vxmweb::kURLErrorDomain, vxmweb::kURLErrorBadURL, "unsupported URL");
    out.url = std::move(*url);
    if (!isToken(method_)) {
        return fail(vxmweb::kWebClientErrorDomain, vxmweb::kInvalidRequestError,
                    "The HTTP method \"" + method_ + "\" is not valid.");
    }
    out.method = method_;
    out.body = formData();
    for (const auto& [name, value] : customHeaders_) {
        if (!isToken(name) || !isSafeHeaderValue(value)) {
            return fail(vxmweb::kWebClientErrorDomain, vxmweb::kInvalidRequestError,
                        "The header \"" + name +
                            "\" has a name or value that cannot be sent (a line break, NUL or "
                            "separator).");
        }
        out.headers.emplace_back(name, value);
    }
    return out;
}
