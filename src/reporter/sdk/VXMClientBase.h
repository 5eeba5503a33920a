#pragma once
// The reporter's side of its service's web API: one web client with the fixed
// identification headers, and the encrypted header values built from the
// device identification data.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Value.h"
#include "reporter/web/VXMWebClient.h"

inline constexpr const char* VXMClientDeviceIdKey = "mac_hardware_uuid";
inline constexpr const char* VXMClientAdvertisingIdKey = "ios_advertising_identifier";
inline constexpr const char* VXMClientVendorIdKey = "ios_vendor_identifier";
inline constexpr const char* VXMClientInstallationIdKey = "application_installation_uuid";
inline constexpr const char* VXMClientModelKey = "model";
inline constexpr const char* VXMClientOSVersionKey = "os_version";
inline constexpr const char* VXMClientFontTokenKey = "font_token";
inline constexpr const char* VXMClientErrorDomain = "VXMClientErrorDomain";
inline constexpr const char* VXM_DEVELOPER_HEADER = "X-VEXMOR-DEVELOPER-TOKEN";
inline constexpr const char* VXM_API_KEY_HEADER = "X-VEXMOR-API-KEY";
inline constexpr const char* VXM_REQUEST_ID_RESPONSE_HEADER = "X-Request-Id";
inline constexpr const char* VXMClientAnalyticsMIMEType = "application/vnd.vexmor.ios.events";

// VXMClientErrorDomain codes.
enum : long {
    VXMClientSettingsFailed = -1,   // settings answer unsuccessful or not a dictionary
    VXMClientConfigureFailed = -2,  // configure answer unsuccessful
    VXMClientMissingURL = -3,
    VXMClientUnreadableFile = -4,
    VXMClientRejected = -5,      // the service refused the upload for good
    VXMClientUploadFailed = -6,  // any other status: try again later
};

// What the clients send, asked at the moment of use (from any thread).
class VXMClientDelegate {
  public:
    virtual ~VXMClientDelegate() = default;
    virtual std::string APIKey() const = 0;
    virtual std::string bundleId() const = 0;
    virtual std::string applicationName() const = 0;
    virtual std::string bundleVersion() const = 0;
    virtual std::optional<std::string> shortBundleVersion() const = 0;
    // Architecture name to the slice's UUID text.
    virtual std::optional<std::map<std::string, std::string>> executableSlices() const = 0;
    virtual std::string minimumSDKVersion() const = 0;
    virtual std::string builtSDKVersion() const = 0;
    // A dictionary of texts, sent in its order.
    virtual platform::Value identificationDictionary() const = 0;
    virtual unsigned deliveryMechanism() const = 0;
    virtual unsigned deviceState() const = 0;
};

// A header key, wiped when it goes.
class VXMHeaderKey {
  public:
    explicit VXMHeaderKey(const std::string& hex);
    ~VXMHeaderKey();
    VXMHeaderKey(const VXMHeaderKey&) = delete;
    VXMHeaderKey& operator=(const VXMHeaderKey&) = delete;
    const uint8_t* bytes() const { return bytes_; }

  private:
    uint8_t bytes_[32] = {};
};

class VXMClientBase {
  public:
    explicit VXMClientBase(const std::string& baseURL);
    virtual ~VXMClientBase();
    VXMClientBase(const VXMClientBase&) = delete;
    VXMClientBase& operator=(const VXMClientBase&) = delete;

    // Not owned; set before the first request.
    VXMClientDelegate* delegate() const { return delegate_; }
    void setDelegate(VXMClientDelegate* delegate) { delegate_ = delegate; }
    VXMWebClient& webClient() { return *webClient_; }

    // SHA-1 of the slice UUIDs in architecture order; "(unknown)" without slices.
    std::string instanceIdentifier() const;
    // The delivery mechanism in decimal.
    std::string sourceString() const;
    // The encrypted identification dictionary; none when it is empty.
    std::optional<std::vector<uint8_t>> identificationData() const;

    // The header key of the delegate's API key and bundle identifier.
    std::unique_ptr<VXMHeaderKey> newHashedKey() const;
    static std::unique_ptr<VXMHeaderKey> newHashedKeyWithSeed(const std::string& seed,
                                                              const std::string& salt);
    // AES-256-ECB with PKCS#7 under the header key; empty on any failure.
    std::vector<uint8_t> headerDataForData(const std::vector<uint8_t>& data) const;
    // {"key":"value",...} in the dictionary's order, values unescaped.
    static std::string headerStringForDictionary(const platform::Value& dictionary);
    std::vector<uint8_t> headerDataForDictionary(const platform::Value& dictionary) const;
    // [{...},{...}] of the dictionaries of the array.
    std::vector<uint8_t> headerDataForArray(const platform::Value& array) const;

  protected:
    VXMClientDelegate* delegate_ = nullptr;
    std::unique_ptr<VXMWebClient> webClient_;
};
