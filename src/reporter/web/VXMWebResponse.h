#pragma once
// The outcome of one transaction: status, headers, the raw bytes and the
// decoded body.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "reporter/web/VXMWebRequest.h"

class VXMWebResponse {
  public:
    VXMWebResponse() = default;

    // Appends received bytes to responseData.
    void appendData(std::span<const uint8_t> bytes);
    void appendData(std::string_view bytes);
    // No error and a status from 200 to 299.
    bool wasSuccessful() const;
    std::string description() const;

    const std::string& requestURL() const { return requestURL_; }
    void setRequestURL(std::string url) { requestURL_ = std::move(url); }
    // 0 until a response has arrived.
    unsigned long statusCode() const { return statusCode_; }
    void setStatusCode(unsigned long s) { statusCode_ = s; }
    // The decoded body: a dictionary or array (JSON, property list), the raw
    // bytes as data, or null for none.
    const platform::Value& body() const { return body_; }
    void setBody(platform::Value body) { body_ = std::move(body); }
    const std::optional<platform::Error>& error() const { return error_; }
    void setError(std::optional<platform::Error> e) { error_ = std::move(e); }
    // Every header field of the response; names match ignoring case.
    const VXMHeaderMap& responseHeaders() const { return headers_; }
    void setResponseHeaders(VXMHeaderMap h) { headers_ = std::move(h); }
    std::optional<std::string> headerValue(std::string_view name) const;
    const std::vector<uint8_t>& responseData() const { return data_; }

  private:
    std::string requestURL_;
    unsigned long statusCode_ = 0;
    platform::Value body_;
    std::optional<platform::Error> error_;
    VXMHeaderMap headers_;
    std::vector<uint8_t> data_;
};
