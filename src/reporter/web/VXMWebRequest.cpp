#include "reporter/web/VXMWebRequest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/core/Files.h"
#include "reporter/web/CurlLibrary.h"
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
    CURLU* u = vxmweb::curlLibrary().url();
    if (!u) return false;
    CURLUcode rc = vxmweb::curlLibrary().url_set(u, CURLUPART_URL, text.c_str(), 0);
    vxmweb::curlLibrary().url_cleanup(u);
    return rc == CURLUE_OK;
}

void append(std::vector<uint8_t>& out, std::string_view s) {
    out.insert(out.end(), s.begin(), s.end());
}

}  // namespace

// ---- Files and bodies --------------------------------------------------------

std::shared_ptr<const VXMFormFile> VXMFormFile::open(const std::string& path,
                                                     platform::Error* error) {
    int fd = platform::openRegularFile(path);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        int code = errno;
        if (fd >= 0) ::close(fd);
        platform::setError(
            error, platform::Error{"NSPOSIXErrorDomain", code, path + ": " + std::strerror(code)});
        return nullptr;
    }
    return std::shared_ptr<const VXMFormFile>(
        new VXMFormFile(path, fd, static_cast<uint64_t>(st.st_size)));
}

VXMFormFile::~VXMFormFile() {
    ::close(fd_);
}

uint64_t VXMRequestBody::size() const {
    uint64_t total = 0;
    for (const auto& piece : pieces) total += piece.size();
    return total;
}

std::optional<std::vector<uint8_t>> VXMRequestBody::bytes() const {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(size()));
    for (const auto& piece : pieces) {
        if (!piece.file) {
            out.insert(out.end(), piece.bytes.begin(), piece.bytes.end());
            continue;
        }
        size_t start = out.size();
        out.resize(start + static_cast<size_t>(piece.file->size()));
        for (uint64_t done = 0; done < piece.file->size();) {
            ssize_t n =
                ::pread(piece.file->descriptor(), out.data() + start + done,
                        static_cast<size_t>(piece.file->size() - done), static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            done += static_cast<uint64_t>(n);
        }
    }
    return out;
}

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

void VXMWebRequest::addFileForFormField(std::shared_ptr<const VXMFormFile> file,
                                        std::optional<std::string> mimeType, std::string fileName,
                                        std::string field) {
    VXMFormRecord r;
    if (file) {
        r.field = std::move(field);
        r.value = std::move(file);
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

std::optional<VXMRequestBody> VXMWebRequest::formBody() {
    if (!formFields_ || formFields_->empty()) return std::nullopt;
    const std::string boundary = kBoundary;
    VXMRequestBody body;
    body.pieces.emplace_back();
    // Text goes into the open bytes piece; a file piece closes it.
    auto text = [&](std::string_view s) { append(body.pieces.back().bytes, s); };
    text("MIME-Version: 1.0\r\n");
    for (const auto& r : *formFields_) {
        if (auto* value = std::get_if<std::string>(&r.value)) {
            text("--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + r.field +
                 "\"\r\n");
            text("Content-Type: text/plain\r\n\r\n");
            text(*value);
            text("\r\n");
            continue;
        }
        auto* bytes = std::get_if<std::vector<uint8_t>>(&r.value);
        auto* file = std::get_if<std::shared_ptr<const VXMFormFile>>(&r.value);
        if (!bytes && !(file && *file)) continue;
        text("--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + r.field +
             "\"; filename=\"" + r.fileName.value_or("") + "\"\r\n");
        if (r.mimeType) {
            text("Content-Type: " + *r.mimeType + "\r\n");
            text("Content-Transfer-Encoding: binary\r\n\r\n");
        } else {
            text("Content-Type: application/octet-stream\r\n\r\n");
        }
        if (bytes) {
            auto& open = body.pieces.back().bytes;
            open.insert(open.end(), bytes->begin(), bytes->end());
        } else {
            body.pieces.push_back(VXMRequestBody::Piece{{}, *file});
            body.pieces.emplace_back();
        }
        text("\r\n");
    }
    text("--" + boundary + "--\r\n");
    addValueForHTTPHeaderField("multipart/form-data; boundary=" + boundary, "Content-Type");
    return body;
}

std::optional<std::vector<uint8_t>> VXMWebRequest::formData() {
    auto body = formBody();
    if (!body) return std::nullopt;
    return body->bytes();
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
    out.timeoutInterval = timeoutInterval_;
    out.maximumResponseSize = maximumResponseSize_;
    out.body = formBody();
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
