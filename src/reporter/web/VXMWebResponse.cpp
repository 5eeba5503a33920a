#include "reporter/web/VXMWebResponse.h"

void VXMWebResponse::appendData(std::span<const uint8_t> bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
}

void VXMWebResponse::appendData(std::string_view bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
}

bool VXMWebResponse::wasSuccessful() const {
    return !error_ && statusCode_ >= 200 && statusCode_ <= 299;
}

std::optional<std::string> VXMWebResponse::headerValue(std::string_view name) const {
    auto it = headers_.find(name);
    if (it == headers_.end()) return std::nullopt;
    return it->second;
}

std::string VXMWebResponse::description() const {
    platform::Value headers = platform::Value::dictionary();
    for (const auto& [k, v] : headers_) headers.set(k, v);
    std::string error = "(null)";
    if (error_) {
        error = "Error Domain=" + error_->domain + " Code=" + std::to_string(error_->code) + " \"" +
                error_->description + "\"";
    }
    return "{request: " + requestURL_ + ", status: " + std::to_string(statusCode_) +
           ", body: " + (body_.isNull() ? std::string("(null)") : body_.description()) +
           ", error: " + error + ", headers: " + headers.description() + "}";
}
