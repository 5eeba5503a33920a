#include "reporter/sdk/VXMClientBase.h"

#include <openssl/evp.h>
#include <string.h>

#include <algorithm>
#include <cinttypes>

#include "reporter/VXMSafe.h"

namespace {

// The text of a value as its description reads: texts unquoted, numbers in
// decimal, flags as 1 or 0.
std::string describe(const platform::Value& value) {
    if (const std::string* s = value.ifString()) return *s;
    if (const bool* b = value.ifBool()) return *b ? "1" : "0";
    if (value.isInteger()) {
        if (value.isUnsignedInteger()) return std::to_string(value.uint64Value());
        return std::to_string(value.int64Value());
    }
    return value.description();
}

std::string replaceAll(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

}  // namespace

VXMHeaderKey::VXMHeaderKey(const std::string& hex) {
    memcpy(bytes_, hex.data(), std::min(hex.size(), sizeof bytes_));
}

VXMHeaderKey::~VXMHeaderKey() {
    explicit_bzero(bytes_, sizeof bytes_);
}

VXMClientBase::VXMClientBase(const std::string& baseURL)
    : webClient_(std::make_unique<VXMWebClient>(baseURL)) {
    webClient_->addValueForHeader("a4d2e8c10f7b3965d0e2a1c4b8f6073e9d5c2b1a", VXM_DEVELOPER_HEADER);
    webClient_->addValueForHeader("Vexmor Mac SDK/2.2.5", "User-Agent");
    webClient_->addValueForHeader("Vexmor Mac SDK", "X-VEXMOR-API-CLIENT-TYPE");
    webClient_->addValueForHeader("2.2.5", "X-VEXMOR-API-CLIENT-VERSION");
    webClient_->addValueForHeader("2.2.5", "X-VEXMOR-API-CLIENT-DISPLAY-VERSION");
    webClient_->addValueForHeader("39", "X-VEXMOR-API-CLIENT-BUILD-VERSION");
}

VXMClientBase::~VXMClientBase() = default;

std::string VXMClientBase::instanceIdentifier() const {
    auto slices = delegate_ ? delegate_->executableSlices() : std::nullopt;
    if (!slices) return "(unknown)";
    // A std::map iterates its architecture names in plain text order.
    std::string joined;
    for (const auto& [arch, uuid] : *slices) joined += uuid;
    return VXMHashNSString(joined);
}

std::string VXMClientBase::sourceString() const {
    return std::to_string(static_cast<int>(delegate_ ? delegate_->deliveryMechanism() : 0));
}

std::optional<std::vector<uint8_t>> VXMClientBase::identificationData() const {
    if (!delegate_) return std::nullopt;
    platform::Value identification = delegate_->identificationDictionary();
    if (!identification.isDictionary() || identification.size() == 0) return std::nullopt;
    return headerDataForDictionary(identification);
}

std::unique_ptr<VXMHeaderKey> VXMClientBase::newHashedKey() const {
    return newHashedKeyWithSeed(delegate_ ? delegate_->APIKey() : std::string(),
                                delegate_ ? delegate_->bundleId() : std::string());
}

std::unique_ptr<VXMHeaderKey> VXMClientBase::newHashedKeyWithSeed(const std::string& seed,
                                                                  const std::string& salt) {
    // Built at run time so that the pair never sits in the binary as one text.
    char one[2] = {0};
    char three[4] = {0};
    one[0] = static_cast<char>('/' - 1);
    three[0] = static_cast<char>('a' - 2);
    three[1] = static_cast<char>('u' + 1);
    three[2] = three[0];
    std::string digest = VXMHashNSString(seed + replaceAll(salt, one, three));
    auto key = std::make_unique<VXMHeaderKey>(digest.substr(0, 32));
    explicit_bzero(digest.data(), digest.size());
    return key;
}

std::vector<uint8_t> VXMClientBase::headerDataForData(const std::vector<uint8_t>& data) const {
    std::unique_ptr<VXMHeaderKey> key = newHashedKey();
    std::vector<uint8_t> out(data.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int written = 0;
    int last = 0;
    bool ok =
        ctx && EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key->bytes(), nullptr) == 1 &&
        EVP_EncryptUpdate(ctx, out.data(), &written, data.data(), static_cast<int>(data.size())) ==
            1 &&
        EVP_EncryptFinal_ex(ctx, out.data() + written, &last) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return {};
    out.resize(static_cast<size_t>(written + last));
    return out;
}

std::string VXMClientBase::headerStringForDictionary(const platform::Value& dictionary) {
    std::string text = "{";
    if (const auto* entries = dictionary.ifDictionary()) {
        for (const auto& [key, value] : *entries)
            text += "\"" + key + "\":\"" + describe(value) + "\",";
    }
    if (text.back() == ',') text.pop_back();
    return text + "}";
}

std::vector<uint8_t> VXMClientBase::headerDataForDictionary(
    const platform::Value& dictionary) const {
    const std::string text = headerStringForDictionary(dictionary);
    return headerDataForData(std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> VXMClientBase::headerDataForArray(const platform::Value& array) const {
    std::string text = "[";
    if (const auto* items = array.ifArray()) {
        for (size_t i = 0; i < items->size(); ++i) {
            if (i) text += ",";
            text += headerStringForDictionary((*items)[i]);
        }
    }
    text += "]";
    return headerDataForData(std::vector<uint8_t>(text.begin(), text.end()));
}
