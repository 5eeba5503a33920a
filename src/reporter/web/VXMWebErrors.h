#pragma once
// Error domains and codes of the web client.

#include <string>

namespace vxmweb {

// The client's own errors.
inline constexpr const char* kWebClientErrorDomain = "VXMWebClientErrorDomain";
// A status other than the expected one (the expecting variants).
inline constexpr long kUnexpectedStatusError = -1;
// An authentication challenge other than server trust.
inline constexpr long kAuthenticationChallengeError = -2;
// A method or header that would break the request on the wire.
inline constexpr long kInvalidRequestError = -3;

// Transport errors, with the codes of the original platform's URL service.
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr long kURLErrorUnknown = -1;
inline constexpr long kURLErrorCancelled = -999;
inline constexpr long kURLErrorBadURL = -1000;
inline constexpr long kURLErrorTimedOut = -1001;
inline constexpr long kURLErrorUnsupportedURL = -1002;
inline constexpr long kURLErrorCannotFindHost = -1003;
inline constexpr long kURLErrorCannotConnectToHost = -1004;
inline constexpr long kURLErrorNetworkConnectionLost = -1005;
inline constexpr long kURLErrorHTTPTooManyRedirects = -1007;
inline constexpr long kURLErrorRequestBodyStreamExhausted = -1021;
inline constexpr long kURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr long kURLErrorSecureConnectionFailed = -1200;
inline constexpr long kURLErrorServerCertificateUntrusted = -1202;

// An error of the exchange itself (transport, the body bound, the client's
// own checks), as against one about the body it delivered: whatever the
// status said, the answer did not arrive as sent.
inline bool isTransportError(const std::string& domain) {
    return domain == kURLErrorDomain || domain == kWebClientErrorDomain;
}

}  // namespace vxmweb
