#include "reporter/web/VXMWebRequest.h"

#include <gtest/gtest.h>

#include <string>

#include "reporter/web/VXMWebClient.h"

namespace {

std::string text(const std::optional<std::vector<uint8_t>>& bytes) {
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<none>");
}

std::vector<uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

}  // namespace

TEST(VXMWebRequest, MultipartBodiesByteForByte) {
    struct Case {
        const char* name;
        std::function<void(VXMWebRequest&)> build;
        std::string body;
    };
    const std::string binary("\x00\xff\r\n", 4);
    const Case cases[] = {
        {"no fields", [](VXMWebRequest&) {}, "<none>"},
        {"one text field", [](VXMWebRequest& r) { r.addValueForFormField("b", "a"); },
         "MIME-Version: 1.0\r\n"
         "--AaB03x\r\n"
         "Content-Disposition: form-data; name=\"a\"\r\n"
         "Content-Type: text/plain\r\n\r\n"
         "b\r\n"
         "--AaB03x--\r\n"},
        {"file part with a type",
         [&](VXMWebRequest& r) {
             r.addDataForFormField(bytes(binary), "application/zip", "d.zip", "dsym[file]");
         },
         "MIME-Version: 1.0\r\n"
         "--AaB03x\r\n"
         "Content-Disposition: form-data; name=\"dsym[file]\"; filename=\"d.zip\"\r\n"
         "Content-Type: application/zip\r\n"
         "Content-Transfer-Encoding: binary\r\n\r\n" +
             binary +
             "\r\n"
             "--AaB03x--\r\n"},
        {"file part without a type, absent values skipped, order kept",
         [&](VXMWebRequest& r) {
             r.addValueForFormField("1", "first");
             r.addValueForFormField(std::nullopt, "absent");
             r.addDataForFormField(bytes("raw"), std::nullopt, "f.bin", "file");
             r.addDataForFormField(std::nullopt, "image/png", "x.png", "absent-file");
             r.addValueForFormField("", "last");
         },
         "MIME-Version: 1.0\r\n"
         "--AaB03x\r\n"
         "Content-Disposition: form-data; name=\"first\"\r\n"
         "Content-Type: text/plain\r\n\r\n"
         "1\r\n"
         "--AaB03x\r\n"
         "Content-Disposition: form-data; name=\"file\"; filename=\"f.bin\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n"
         "raw\r\n"
         "--AaB03x\r\n"
         "Content-Disposition: form-data; name=\"last\"\r\n"
         "Content-Type: text/plain\r\n\r\n"
         "\r\n"
         "--AaB03x--\r\n"},
        {"dictionary with a prefix",
         [](VXMWebRequest& r) {
             r.addValueForFormFromDict({{"KitA", "1.0"}}, "app[build][libraries]");
         },
         "MIME-Version: 1.0\r\n"
         "--AaB03x\r\n"
         "Content-Disposition: form-data; name=\"app[build][libraries][KitA]\"\r\n"
         "Content-Type: text/plain\r\n\r\n"
         "1.0\r\n"
         "--AaB03x--\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = VXMWebRequest::requestWithMethod("POST", "/upload");
        c.build(*r);
        EXPECT_EQ(text(r->formData()), c.body);
        auto type = r->customHeaders().find("content-type");
        if (c.body == "<none>") {
            EXPECT_EQ(type, r->customHeaders().end());
        } else {
            ASSERT_NE(type, r->customHeaders().end());
            EXPECT_EQ(type->second, "multipart/form-data; boundary=AaB03x");
        }
    }
}

TEST(VXMWebRequest, EscapingTable) {
    struct Case {
        std::string in;
        std::string escaped;  // escapeURLString
        std::string plain;    // addPercentEscapes
    };
    const Case cases[] = {
        {" ", "%20", "%20"},
        {"&", "%26", "&"},
        {"=", "%3D", "="},
        {"%", "%25", "%25"},
        {"#", "%23", "#"},
        {"/", "%2F", "/"},
        {"\xc3\xa9", "%C3%A9", "%C3%A9"},
        {"com.vexmor.Tessaro-2_x~", "com.vexmor.Tessaro-2_x~", "com.vexmor.Tessaro-2_x~"},
        {"a+b?c:d@e", "a%2Bb%3Fc%3Ad%40e", "a+b?c:d@e"},
        {"\"<>\\^`{|}", "%22%3C%3E%5C%5E%60%7B%7C%7D", "%22%3C%3E%5C%5E%60%7B%7C%7D"},
        {std::string("\n\0", 2), "%0A%00", "%0A%00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(VXMWebClient::escapeURLString(c.in), c.escaped);
        EXPECT_EQ(VXMWebClient::addPercentEscapes(c.in), c.plain);
    }
}

TEST(VXMWebRequest, FullURLAppendsEscapedParameters) {
    struct Case {
        std::optional<std::string> url;
        std::optional<std::map<std::string, std::string>> parameters;
        std::optional<std::string> full;
    };
    const Case cases[] = {
        {"https://h.example/p", std::nullopt, "https://h.example/p"},
        {"https://h.example/p", std::map<std::string, std::string>{}, "https://h.example/p"},
        {"https://h.example/p", std::map<std::string, std::string>{{"b", "x&y=z w"}, {"a b", "1"}},
         "https://h.example/p?a%20b=1&b=x%26y%3Dz%20w"},
        // A URL with a query gets the parameters joined with "&".
        {"https://h.example/p?v=1", std::map<std::string, std::string>{{"k", "%"}},
         "https://h.example/p?v=1&k=%25"},
        {std::nullopt, std::map<std::string, std::string>{{"k", "v"}}, std::nullopt},
        {"not a url", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url.value_or("<none>"));
        VXMWebRequest r("GET");
        r.setURL(c.url);
        r.setParameters(c.parameters);
        EXPECT_EQ(r.fullURL(), c.full);
    }
}

TEST(VXMWebRequest, HeadersThatWouldBreakTheRequestAreRefused) {
    struct Case {
        std::string method, name, value;
        bool ok;
    };
    const Case cases[] = {
        {"POST", "X-Vexmor-API-Key", "abc", true},
        {"POST", "X-Empty", "", true},
        {"POST", "X-Evil", "a\r\nX-Injected: 1", false},
        {"POST", "X-Evil", "a\nb", false},
        {"POST", "X-Evil", std::string("a\0b", 3), false},
        {"POST", "Bad Name", "v", false},
        {"POST", "Bad:Name", "v", false},
        {"GET /x HTTP/1.1\r\n", "X-Ok", "v", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + "=" + c.value);
        VXMWebRequest r(c.method);
        r.setURL("http://127.0.0.1/");
        r.addValueForHTTPHeaderField(c.value, c.name);
        platform::Error error;
        auto out = r.URLRequest(&error);
        EXPECT_EQ(out.has_value(), c.ok);
        if (!c.ok) {
            EXPECT_EQ(error.domain, vxmweb::kWebClientErrorDomain);
            EXPECT_EQ(error.code, vxmweb::kInvalidRequestError);
        }
    }
    // A request's own header wins over a default of any spelling.
    VXMWebRequest r("GET");
    r.addValueForHTTPHeaderField("application/x-plist", "accept");
    r.addHeaders({{"Accept", "application/json, application/x-plist"}, {"User-Agent", "t"}});
    EXPECT_EQ(r.customHeaders().size(), 2u);
    EXPECT_EQ(r.customHeaders().at("ACCEPT"), "application/x-plist");
}

TEST(VXMWebClient, PathsResolveAgainstTheBaseURL) {
    struct Case {
        const char* base;
        const char* path;
        std::optional<std::string> url;
    };
    const Case cases[] = {
        {"https://api.example.com", "/spi/v2/platforms/mac/apps/a%20b/settings?build_version=1",
         "https://api.example.com/spi/v2/platforms/mac/apps/a%20b/settings?build_version=1"},
        {"https://h.example/api/", "v1/x", "https://h.example/api/v1/x"},
        {"https://h.example/api/v1", "../v2", "https://h.example/v2"},
        {"https://h.example/api/", "", "https://h.example/api/"},
        {"https://h.example/", "https://other.example/abs", "https://other.example/abs"},
        {"not a url", "/x", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.path);
        VXMWebClient client(c.base);
        EXPECT_EQ(client.resolve(c.path), c.url);
    }
}
