#pragma once
// One HTTP request under construction: method, path or absolute URL, query
// parameters, custom headers and an ordered multipart form body.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/core/Error.h"

// Header names compare ignoring case, as HTTP defines them.
struct VXMHeaderNameLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};
using VXMHeaderMap = std::map<std::string, std::string, VXMHeaderNameLess>;

// The server-trust challenge of a TLS connection, after the platform's
// certificate checks have accepted the server.
struct VXMProtectionSpace {
    std::string host;
    long port = 0;
    std::string protocol;  // "https"
    std::string authenticationMethod = "NSURLAuthenticationMethodServerTrust";
};
// Answers false to refuse the server; it can never accept a server that the
// certificate checks refused.
using VXMProtectionSpaceHandler = std::function<bool(const VXMProtectionSpace&)>;

// A file that a form part sends straight from disk as the body goes out, so
// that an upload never holds the file in memory. Its size is fixed when it is
// opened; a file that shrinks meanwhile fails the request.
class VXMFormFile {
  public:
    // None unless `path` is a regular file that can be opened for reading.
    static std::shared_ptr<const VXMFormFile> open(const std::string& path,
                                                   platform::Error* error = nullptr);
    ~VXMFormFile();
    VXMFormFile(const VXMFormFile&) = delete;
    VXMFormFile& operator=(const VXMFormFile&) = delete;

    const std::string& path() const { return path_; }
    uint64_t size() const { return size_; }
    int descriptor() const { return fd_; }

  private:
    VXMFormFile(std::string path, int fd, uint64_t size)
        : path_(std::move(path)), fd_(fd), size_(size) {}
    std::string path_;
    int fd_;
    uint64_t size_;
};

// One part of the multipart body. Text fields carry "text/plain" and no file
// name; a record whose value is absent stays in the list but is skipped.
struct VXMFormRecord {
    std::string field;
    std::variant<std::monostate, std::string, std::vector<uint8_t>,
                 std::shared_ptr<const VXMFormFile>>
        value;
    std::optional<std::string> mimeType;
    std::optional<std::string> fileName;
};

// A request body as the transport sends it: bytes and whole files, in order.
struct VXMRequestBody {
    struct Piece {
        std::vector<uint8_t> bytes;               // when there is no file
        std::shared_ptr<const VXMFormFile> file;  // read as it goes out
        uint64_t size() const { return file ? file->size() : bytes.size(); }
    };
    std::vector<Piece> pieces;

    uint64_t size() const;
    // Everything in one buffer, the files read now; none when one cannot be read.
    std::optional<std::vector<uint8_t>> bytes() const;
};

// What the transport sends: everything resolved and checked.
struct VXMURLRequest {
    std::string url;
    std::string method;
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<VXMRequestBody> body;
    double timeoutInterval = 15;  // seconds without progress
    uint64_t maximumResponseSize = 0;
};

class VXMWebRequest {
  public:
    static constexpr const char* kBoundary = "AaB03x";

    static std::shared_ptr<VXMWebRequest> requestWithMethod(std::string method, std::string path);
    explicit VXMWebRequest(std::string method);

    // One custom header, replacing an earlier value of the same name.
    void addValueForHTTPHeaderField(std::string value, std::string field);
    // Each header that this request does not have yet; its own values win.
    void addHeaders(const VXMHeaderMap& headers);

    // Form records, appended in body order. An absent value leaves an empty
    // record that the body skips.
    void addValueForFormField(std::optional<std::string> value, std::string field);
    void addDataForFormField(std::optional<std::vector<uint8_t>> data,
                             std::optional<std::string> mimeType, std::string fileName,
                             std::string field);
    // A file part streamed from disk; a null file leaves an empty record.
    void addFileForFormField(std::shared_ptr<const VXMFormFile> file,
                             std::optional<std::string> mimeType, std::string fileName,
                             std::string field);
    // One text field per entry, named "prefix[key]" (or "[key]" without a prefix).
    void addValueForFormFromDict(const std::map<std::string, std::string>& dict,
                                 std::string_view prefix = {});
    // One text field per entry, named by the key.
    void setFormData(const std::map<std::string, std::string>& dict);

    // The absolute URL with the query parameters appended, or none when no
    // URL is set or the result does not parse.
    std::optional<std::string> fullURL() const;
    // The multipart body, or none without form records (or when a file part
    // cannot be read). Building it sets the custom "Content-Type" header to
    // the multipart type.
    std::optional<std::vector<uint8_t>> formData();
    // The same body with file parts left on disk, as the transport sends it.
    std::optional<VXMRequestBody> formBody();
    // The request as the transport sends it. Fails (VXMWebClientErrorDomain)
    // for a missing or unparsable URL and for a method or header that would
    // break the request line or header block.
    std::optional<VXMURLRequest> URLRequest(platform::Error* error = nullptr);

    const std::string& method() const { return method_; }
    const std::string& path() const { return path_; }
    void setPath(std::string path) { path_ = std::move(path); }
    const std::optional<std::string>& URL() const { return url_; }
    void setURL(std::optional<std::string> url) { url_ = std::move(url); }
    const std::optional<std::map<std::string, std::string>>& parameters() const {
        return parameters_;
    }
    void setParameters(std::optional<std::map<std::string, std::string>> p) {
        parameters_ = std::move(p);
    }
    const VXMHeaderMap& customHeaders() const { return customHeaders_; }
    const std::optional<std::vector<VXMFormRecord>>& formFields() const { return formFields_; }
    // Seconds without progress before the transfer fails.
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    // The most bytes of response body this request takes in; past it the
    // exchange ends with kURLErrorDataLengthExceedsMaximum. Settings and JSON
    // answers need a few MiB at most; an upload, whose answer is not read,
    // sets a few KiB.
    static constexpr uint64_t kDefaultMaximumResponseSize = 4u << 20;
    static constexpr uint64_t kUploadMaximumResponseSize = 16u << 10;
    uint64_t maximumResponseSize() const { return maximumResponseSize_; }
    void setMaximumResponseSize(uint64_t bytes) { maximumResponseSize_ = bytes; }
    const VXMProtectionSpaceHandler& protectionSpaceHandler() const { return trustHandler_; }
    void setProtectionSpaceHandler(VXMProtectionSpaceHandler h) { trustHandler_ = std::move(h); }

  private:
    std::vector<VXMFormRecord>& records();

    std::string method_;
    std::string path_;
    std::optional<std::string> url_;
    std::optional<std::map<std::string, std::string>> parameters_;
    VXMHeaderMap customHeaders_;
    std::optional<std::vector<VXMFormRecord>> formFields_;
    VXMProtectionSpaceHandler trustHandler_;
    double timeoutInterval_ = 15;
    uint64_t maximumResponseSize_ = kDefaultMaximumResponseSize;
};
