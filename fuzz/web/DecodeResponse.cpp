// Response decoding: header lines as the server sends them, then the body
// decoded by content type (JSON, property list, raw), then written again.
//
// Input: one selector byte (content type), then the header block up to the
// blank line, then the body.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "reporter/web/VXMWebClientTransaction.h"
#include "reporter/web/WebTransport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t end = in.find("\r\n\r\n");
    std::string_view head = end == std::string_view::npos ? in : in.substr(0, end + 4);
    std::string_view body = end == std::string_view::npos ? std::string_view() : in.substr(end + 4);

    vxmweb::HeaderBlock block;
    while (!head.empty()) {
        size_t nl = head.find('\n');
        size_t len = nl == std::string_view::npos ? head.size() : nl + 1;
        vxmweb::feedHeaderLine(block, head.substr(0, len));
        head.remove_prefix(len);
    }

    std::optional<std::string> type;
    switch (data[0] % 3) {
        case 0:
            type = VXMWebClientTransaction::kJSONContentType;
            break;
        case 1:
            type = VXMWebClientTransaction::kPlistContentType;
            break;
        default:
            break;
    }
    std::optional<platform::Error> error;
    platform::Value value = VXMWebClientTransaction::decodeBody(
        std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()), type, error);
    (void)value.description();
    if (auto xml = value.toPlistXML()) {
        auto again = platform::Value::fromPlist(*xml);
        (void)again;
    }
    return 0;
}
