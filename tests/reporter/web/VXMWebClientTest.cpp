#include "reporter/web/VXMWebClient.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "platform/core/Dispatch.h"
#include "reporter/web/VXMWebErrors.h"
#include "support/HttpServer.h"
#include "support/ProcessStatus.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
using testsupport::HttpScript;
using testsupport::HttpServer;
using Response = std::shared_ptr<VXMWebResponse>;

namespace {

// Starts `request` asynchronously and waits for its completion.
Response runAsync(VXMWebClient& client, std::shared_ptr<VXMWebRequest> request,
                  std::chrono::seconds wait = 20s) {
    auto done = std::make_shared<std::promise<Response>>();
    auto result = done->get_future();
    client.startRequest(std::move(request), [done](const Response& r) { done->set_value(r); });
    if (result.wait_for(wait) != std::future_status::ready) return nullptr;
    return result.get();
}

Response runSync(VXMWebClient& client, std::shared_ptr<VXMWebRequest> request) {
    Response out;
    client.syncStartRequest(std::move(request), [&](const Response& r) { out = r; });
    return out;
}

std::string bodyText(const Response& r) {
    const auto& d = r->responseData();
    return std::string(d.begin(), d.end());
}

// Restores the default idle limit after a test shortens it.
struct IdleLimit {
    explicit IdleLimit(std::chrono::seconds s) { VXMWebClientTransaction::setIdleLimit(s); }
    ~IdleLimit() { VXMWebClientTransaction::setIdleLimit(15s); }
};

}  // namespace

TEST(VXMWebClient, JsonIsDecodedAsynchronouslyAndRawWhenSynchronous) {
    HttpServer server;
    const std::string json = R"({"settings":{"collect_reports":true},"n":18446744073709551615})";
    HttpScript answer{
        .status = 200,
        .headers = {{"content-type", "application/json; charset=utf-8"}, {"X-Request-Id", "r-1"}},
        .body = json};
    server.enqueue(answer);
    server.enqueue(answer);
    VXMWebClient client(server.url("/"));
    client.addValueForHeader("Vexmor Mac SDK/2.2.5", "User-Agent");

    auto request = VXMWebRequest::requestWithMethod("GET", "/spi/v2/settings");
    request->setParameters(std::map<std::string, std::string>{{"build_version", "1 (2)"}});
    request->addValueForHTTPHeaderField("key", "X-VEXMOR-API-KEY");
    auto async = runAsync(client, request);
    ASSERT_TRUE(async);
    EXPECT_TRUE(async->wasSuccessful()) << async->description();
    EXPECT_EQ(async->requestURL(), server.url("/spi/v2/settings?build_version=1%20%282%29"));
    ASSERT_TRUE(async->body().isDictionary()) << async->description();
    EXPECT_TRUE(async->body()["settings"]["collect_reports"].boolValue());
    EXPECT_EQ(async->body()["n"].uint64Value(), UINT64_MAX);
    EXPECT_EQ(async->headerValue("x-request-id"), "r-1");
    EXPECT_EQ(async->headerValue("CONTENT-TYPE"), "application/json; charset=utf-8");

    auto sync = runSync(client, VXMWebRequest::requestWithMethod("GET", "/raw"));
    ASSERT_TRUE(sync);
    EXPECT_EQ(sync->statusCode(), 200u);
    ASSERT_TRUE(sync->body().isData());
    EXPECT_EQ(std::string(sync->body().ifData()->begin(), sync->body().ifData()->end()), json);

    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].target, "/spi/v2/settings?build_version=1%20%282%29");
    EXPECT_EQ(seen[0].header("Accept"), "application/json, application/x-plist");
    EXPECT_EQ(seen[0].header("User-Agent"), "Vexmor Mac SDK/2.2.5");
    EXPECT_EQ(seen[0].header("X-VEXMOR-API-KEY"), "key");
    EXPECT_EQ(seen[0].headerCount("Expect"), 0u);
    EXPECT_EQ(seen[0].headerCount("Content-Type"), 0u);
    // The asynchronous transaction leaves the set just after its completion
    // ran, on the client's queue.
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (client.connectionCount() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(client.connectionCount(), 0u);
}

TEST(VXMWebClient, BodiesByContentType) {
    HttpServer server;
    VXMWebClient client(server.url("/"));
    const std::string plist =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>settings_version</key>"
        "<integer>2</integer></dict></plist>";
    struct Case {
        const char* name;
        HttpScript script;
        bool successful;
        std::function<void(const Response&)> check;
    };
    const Case cases[] = {
        {"plist",
         {.headers = {{"Content-Type", "application/x-plist"}}, .body = plist},
         true,
         [](const Response& r) { EXPECT_EQ(r->body()["settings_version"].int64Value(), 2); }},
        // The property-list test comes first.
        {"plist named beside json",
         {.headers = {{"Content-Type", "application/json, application/x-plist"}}, .body = plist},
         true,
         [](const Response& r) { EXPECT_TRUE(r->body().isDictionary()); }},
        {"malformed plist",
         {.headers = {{"Content-Type", "application/x-plist"}}, .body = "<plist><dict><key>"},
         false,
         [](const Response& r) {
             ASSERT_TRUE(r->error());
             EXPECT_EQ(r->error()->code, platform::kPropertyListReadCorruptError);
             EXPECT_TRUE(r->body().isNull());
             EXPECT_EQ(r->statusCode(), 200u);
         }},
        {"malformed json: no body, no error",
         {.headers = {{"Content-Type", "application/json"}}, .body = "{\"a\":"},
         true,
         [](const Response& r) { EXPECT_TRUE(r->body().isNull()); }},
        {"201 without bytes",
         {.status = 201},
         true,
         [](const Response& r) {
             EXPECT_EQ(r->statusCode(), 201u);
             EXPECT_TRUE(r->body().isNull());
         }},
        {"other types stay bytes",
         {.headers = {{"Content-Type", "text/plain"}}, .body = "hi"},
         true,
         [](const Response& r) {
             ASSERT_TRUE(r->body().isData());
             EXPECT_EQ(*r->body().ifData(), (std::vector<uint8_t>{'h', 'i'}));
         }},
        {"404 is a status, not an error",
         {.status = 404, .body = "missing"},
         false,
         [](const Response& r) {
             EXPECT_FALSE(r->error());
             EXPECT_EQ(r->statusCode(), 404u);
         }},
        {"slow trickle of the answer",
         {.headers = {{"Content-Type", "application/json"}},
          .body = "[1,2,3]",
          .trickleChunk = 7,
          .tricklePause = 20ms},
         true,
         [](const Response& r) { EXPECT_EQ(r->body()[2].int64Value(), 3); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.enqueue(c.script);
        auto r = runAsync(client, VXMWebRequest::requestWithMethod("GET", "/x"));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->wasSuccessful(), c.successful) << r->description();
        c.check(r);
    }
}

TEST(VXMWebClient, MultipartUploadOnTheWire) {
    HttpServer server;
    server.enqueue({.status = 201});
    VXMWebClient client(server.url("/"));
    auto request = VXMWebRequest::requestWithMethod("POST", "");
    request->setURL(server.url("/api/v1/key/dsyms"));
    request->addValueForFormField("com.example.app", "app_id");
    request->addDataForFormField(std::vector<uint8_t>{'P', 'K', 0, 1}, "application/zip", "a.zip",
                                 "dsym[file]");
    Response r = runSync(client, request);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->wasSuccessful()) << r->description();

    ASSERT_EQ(server.requests().size(), 1u);
    const auto rec = server.requests()[0];
    const std::string body = std::string(
                                 "MIME-Version: 1.0\r\n"
                                 "--AaB03x\r\n"
                                 "Content-Disposition: form-data; name=\"app_id\"\r\n"
                                 "Content-Type: text/plain\r\n\r\n"
                                 "com.example.app\r\n"
                                 "--AaB03x\r\n"
                                 "Content-Disposition: form-data; name=\"dsym[file]\"; "
                                 "filename=\"a.zip\"\r\n"
                                 "Content-Type: application/zip\r\n"
                                 "Content-Transfer-Encoding: binary\r\n\r\n"
                                 "PK") +
                             std::string("\0\1", 2) + "\r\n--AaB03x--\r\n";
    EXPECT_EQ(rec.method, "POST");
    EXPECT_EQ(rec.target, "/api/v1/key/dsyms");
    EXPECT_EQ(rec.body, body);
    EXPECT_EQ(rec.header("Content-Type"), "multipart/form-data; boundary=AaB03x");
    EXPECT_EQ(rec.header("Content-Length"), std::to_string(body.size()));
    EXPECT_TRUE(rec.raw.ends_with("\r\n\r\n" + body));

    // A POST without fields: no body, no stray form type.
    server.enqueue({.status = 200});
    runSync(client, VXMWebRequest::requestWithMethod("POST", "/empty"));
    ASSERT_EQ(server.requests().size(), 2u);
    const auto bare = server.requests()[1];
    EXPECT_EQ(bare.method, "POST");
    EXPECT_EQ(bare.headerCount("Content-Type"), 0u);
    EXPECT_EQ(bare.header("Content-Length"), "0");
}

using testsupport::statusKiB;

// A file part goes from disk to the wire as it is sent: the same bytes as an
// in-memory part, without the file ever being held in memory.
TEST(VXMWebClient, FilePartsStreamFromDisk) {
    HttpServer server;
    VXMWebClient client(server.url("/"));
    testsupport::TempDir dir;

    // Byte for byte what the in-memory part sends.
    testsupport::writeFile(dir / "a.zip", std::string("PK\0\1", 4));
    std::string wire[2];
    for (int i = 0; i < 2; ++i) {
        server.enqueue({.status = 201});
        auto request = VXMWebRequest::requestWithMethod("POST", "/upload");
        request->addValueForFormField("com.example.app", "app_id");
        if (i == 0)
            request->addDataForFormField(std::vector<uint8_t>{'P', 'K', 0, 1}, "application/zip",
                                         "a.zip", "dsym[file]");
        else
            request->addFileForFormField(VXMFormFile::open((dir / "a.zip").string()),
                                         "application/zip", "a.zip", "dsym[file]");
        Response r = runSync(client, request);
        ASSERT_TRUE(r && r->wasSuccessful());
        wire[i] = server.requests().back().body;
    }
    EXPECT_EQ(wire[1], wire[0]);

    // Only regular files open.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    platform::Error error;
    EXPECT_FALSE(VXMFormFile::open((dir / "fifo").string(), &error));
    EXPECT_FALSE(VXMFormFile::open((dir / "missing").string()));

    // A file that shrinks after it was opened fails the request; it never
    // sends a body shorter than it announced.
    testsupport::writeFile(dir / "shrinks", std::string(1 << 20, 's'));
    auto shrinking = VXMFormFile::open((dir / "shrinks").string());
    ASSERT_TRUE(shrinking);
    ASSERT_EQ(truncate((dir / "shrinks").c_str(), 10), 0);
    server.enqueue({.status = 201});
    auto request = VXMWebRequest::requestWithMethod("POST", "/upload");
    request->addFileForFormField(shrinking, std::nullopt, "s", "f");
    Response failed = runSync(client, request);
    ASSERT_TRUE(failed && failed->error());
    EXPECT_EQ(failed->error()->code, vxmweb::kURLErrorRequestBodyStreamExhausted);

    // 300 MB sent: the peak memory of this process grows by a small fraction
    // of that (the server keeps nothing of the body).
    const uint64_t size = 300ull << 20;
    {
        int fd = ::open((dir / "big.zip").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        ::close(fd);
    }
    // A server of its own, whose every answer keeps nothing of the body: the
    // aborted exchange above must not take this one's script.
    HttpServer sink;
    sink.setFallback({.status = 201, .discardBody = true});
    VXMWebClient sinkClient(sink.url("/"));
    std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak from here
    const long before = statusKiB("VmRSS:");
    auto upload = VXMWebRequest::requestWithMethod("POST", "/big");
    upload->addFileForFormField(VXMFormFile::open((dir / "big.zip").string()), "application/zip",
                                "big.zip", "dsym[file]");
    Response r = runSync(sinkClient, upload);
    const long peak = statusKiB("VmHWM:");
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->wasSuccessful()) << r->description();
    ASSERT_EQ(sink.requests().size(), 1u);
    EXPECT_GT(sink.requests().back().bodyLength, size);
    EXPECT_LT(peak - before, 48 * 1024) << "peak grew by " << (peak - before) / 1024 << " MiB";
}

TEST(VXMWebClient, TransportFailures) {
    const uint16_t closedPort = HttpServer::unusedPort();
    VXMWebClient refused("http://127.0.0.1:" + std::to_string(closedPort) + "/");
    for (bool async : {true, false}) {
        SCOPED_TRACE(async ? "async" : "sync");
        auto request = VXMWebRequest::requestWithMethod("GET", "/x");
        Response r = async ? runAsync(refused, request) : runSync(refused, request);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->statusCode(), 0u);
        ASSERT_TRUE(r->error());
        EXPECT_EQ(r->error()->domain, vxmweb::kURLErrorDomain);
        EXPECT_EQ(r->error()->code, vxmweb::kURLErrorCannotConnectToHost);
        EXPECT_FALSE(r->wasSuccessful());
    }

    HttpServer server;
    VXMWebClient client(server.url("/"));
    server.enqueue({.drop = true});
    Response dropped = runAsync(client, VXMWebRequest::requestWithMethod("GET", "/drop"));
    ASSERT_TRUE(dropped && dropped->error());
    EXPECT_EQ(dropped->error()->code, vxmweb::kURLErrorNetworkConnectionLost);
    EXPECT_EQ(dropped->statusCode(), 0u);

    // A header that would inject another line is never sent.
    auto evil = VXMWebRequest::requestWithMethod("GET", "/evil");
    evil->addValueForHTTPHeaderField("1\r\nX-Injected: yes", "X-Value");
    Response refusedHeader = runAsync(client, evil);
    ASSERT_TRUE(refusedHeader && refusedHeader->error());
    EXPECT_EQ(refusedHeader->error()->code, vxmweb::kInvalidRequestError);

    // Other authentication challenges end the exchange.
    server.enqueue({.status = 401, .headers = {{"WWW-Authenticate", "Basic realm=\"x\""}}});
    Response challenged = runAsync(client, VXMWebRequest::requestWithMethod("GET", "/auth"));
    ASSERT_TRUE(challenged && challenged->error());
    EXPECT_EQ(challenged->error()->domain, vxmweb::kWebClientErrorDomain);
    EXPECT_EQ(challenged->error()->code, vxmweb::kAuthenticationChallengeError);

    EXPECT_EQ(server.requests().size(), 2u);  // /drop and /auth only
}

TEST(VXMWebClient, IdleLimitNotTotalLimit) {
    IdleLimit limit(1s);
    HttpServer server;
    VXMWebClient client(server.url("/"));

    // A server that reads the request and then says nothing: the exchange
    // ends one limit after the last byte moved, within a second.
    for (bool async : {true, false}) {
        SCOPED_TRACE(async ? "async" : "sync");
        server.enqueue({.delay = 30s});
        auto request = VXMWebRequest::requestWithMethod("GET", "/stall");
        auto start = std::chrono::steady_clock::now();
        Response stalled = async ? runAsync(client, request) : runSync(client, request);
        auto took = std::chrono::steady_clock::now() - start;
        ASSERT_TRUE(stalled && stalled->error());
        EXPECT_EQ(stalled->error()->code, vxmweb::kURLErrorTimedOut);
        EXPECT_GE(took, 1s);
        EXPECT_LT(took, 2s);
    }

    // Steady but slow exchanges outlast the limit and succeed. The limit is
    // longer here, so that the bytes the kernel buffers on the loopback (sent
    // as far as the client can tell) drain well within it.
    IdleLimit steady(3s);

    // An answer trickled over more than one limit, its head in the first piece.
    server.enqueue(
        {.status = 200, .body = std::string(300, 'a'), .trickleChunk = 80, .tricklePause = 1200ms});
    Response trickled = runAsync(client, VXMWebRequest::requestWithMethod("GET", "/slow"));
    ASSERT_TRUE(trickled);
    EXPECT_TRUE(trickled->wasSuccessful()) << trickled->description();
    EXPECT_EQ(bodyText(trickled), std::string(300, 'a'));

    // 16 MiB read at about 2.7 MB/s.
    server.enqueue({.status = 201, .readChunk = 32 * 1024, .readPause = 12ms});
    auto upload = VXMWebRequest::requestWithMethod("POST", "/upload");
    std::vector<uint8_t> big(16 << 20);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31);
    upload->addDataForFormField(big, "application/zip", "big.zip", "dsym[file]");
    auto start = std::chrono::steady_clock::now();
    Response r = runSync(client, upload);
    auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->wasSuccessful()) << r->description();
    EXPECT_GT(took, 3s);
    ASSERT_FALSE(server.requests().empty());
    const auto rec = server.requests().back();
    EXPECT_GT(rec.body.size(), big.size());
    EXPECT_EQ(rec.headerCount("Expect"), 0u);
    EXPECT_NE(rec.body.find(std::string(big.begin(), big.begin() + 4096)), std::string::npos);
}

TEST(VXMWebClient, RedirectsOfUploadsAreNotFollowed) {
    HttpServer server;
    VXMWebClient client(server.url("/"));
    for (int status : {301, 302, 303, 307, 308}) {
        for (const char* method : {"POST", "PUT"}) {
            SCOPED_TRACE(std::to_string(status) + " " + method);
            size_t before = server.requests().size();
            server.enqueue({.status = status, .headers = {{"Location", server.url("/elsewhere")}}});
            auto request = VXMWebRequest::requestWithMethod(method, "/reports");
            request->addValueForFormField("id", "report[identifier]");
            Response r = runAsync(client, request);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->statusCode(), static_cast<unsigned long>(status));
            EXPECT_FALSE(r->wasSuccessful());
            ASSERT_EQ(server.requests().size(), before + 1);
            EXPECT_EQ(server.requests().back().method, method);
        }
    }
    // A GET follows its redirect.
    server.enqueue({.status = 302, .headers = {{"Location", "/target"}}});
    server.enqueue({.status = 200, .body = "here"});
    Response r = runAsync(client, VXMWebRequest::requestWithMethod("GET", "/moved"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->statusCode(), 200u);
    EXPECT_EQ(bodyText(r), "here");
    ASSERT_FALSE(server.requests().empty());
    EXPECT_EQ(server.requests().back().target, "/target");
}

TEST(VXMWebClient, TlsCertificatesAreChecked) {
    HttpServer server(HttpServer::Options{.tls = true});
    VXMWebClient client(server.url("/"));
    for (bool async : {true, false}) {
        SCOPED_TRACE(async ? "async" : "sync");
        auto request = VXMWebRequest::requestWithMethod("GET", "/secure");
        // Even a handler that accepts everything cannot overrule the checks.
        request->setProtectionSpaceHandler([](const VXMProtectionSpace&) { return true; });
        Response r = async ? runAsync(client, request) : runSync(client, request);
        ASSERT_TRUE(r && r->error());
        EXPECT_EQ(r->error()->code, vxmweb::kURLErrorServerCertificateUntrusted)
            << r->error()->description;
        EXPECT_EQ(r->statusCode(), 0u);
    }
    EXPECT_EQ(server.requests().size(), 0u);

    // Trusted, the same server answers; the handler sees the server and may refuse it.
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "ca.pem", server.certificatePEM());
    VXMWebClientTransaction::setTrustedCertificatesFile((dir / "ca.pem").string());
    Response ok = runAsync(client, VXMWebRequest::requestWithMethod("GET", "/secure"));
    ASSERT_TRUE(ok);
    EXPECT_TRUE(ok->wasSuccessful()) << ok->description();

    std::optional<VXMProtectionSpace> seen;
    auto refusing = VXMWebRequest::requestWithMethod("GET", "/secure");
    refusing->setProtectionSpaceHandler([&](const VXMProtectionSpace& space) {
        seen = space;
        return false;
    });
    Response refused = runSync(client, refusing);
    VXMWebClientTransaction::setTrustedCertificatesFile(std::nullopt);
    ASSERT_TRUE(refused && refused->error());
    EXPECT_EQ(refused->error()->code, vxmweb::kURLErrorServerCertificateUntrusted);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->host, "127.0.0.1");
    EXPECT_EQ(seen->port, server.port());
    EXPECT_EQ(seen->protocol, "https");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(VXMWebClient, WhereCompletionsRun) {
    HttpServer server;
    server.setFallback({.status = 404});
    VXMWebClient client(server.url("/"));
    const auto caller = std::this_thread::get_id();

    // Asynchronous: returns at once, completes on the global concurrent queue.
    std::promise<std::pair<std::thread::id, bool>> ranOn;
    server.enqueue({.status = 200, .delay = 300ms});
    client.startRequest(VXMWebRequest::requestWithMethod("GET", "/a"), [&](const Response&) {
        ranOn.set_value({std::this_thread::get_id(),
                         platform::globalQueue(platform::QueuePriority::Default)->isCurrent()});
    });
    EXPECT_EQ(client.connectionCount(), 1u);
    auto f = ranOn.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    auto [thread, onGlobalQueue] = f.get();
    EXPECT_NE(thread, caller);
    EXPECT_TRUE(onGlobalQueue);
    for (int i = 0; i < 100 && client.connectionCount(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(client.connectionCount(), 0u);

    // Synchronous: the completion has run on this thread, inside the client's
    // queue, before the call returns.
    std::optional<std::thread::id> syncOn;
    std::string queueLabel;
    std::optional<platform::Error> error;
    client.syncStartRequestExpectingResponse(
        VXMWebRequest::requestWithMethod("GET", "/s"), 200, [&](const Response& r) {
            syncOn = std::this_thread::get_id();
            queueLabel = platform::DispatchQueue::currentLabel();
            error = r->error();
        });
    EXPECT_EQ(syncOn, caller);
    EXPECT_EQ(queueLabel, "com.vexmor.rest-client");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, vxmweb::kWebClientErrorDomain);
    EXPECT_EQ(error->code, vxmweb::kUnexpectedStatusError);
    EXPECT_EQ(client.connectionCount(), 0u);

    // Without a completion the expecting variant still sends the request.
    size_t before = server.requests().size();
    client.startRequestExpectingResponse(VXMWebRequest::requestWithMethod("GET", "/n"), 200,
                                         nullptr);
    EXPECT_TRUE(server.waitForRequests(before + 1));
}

// No answer is taken in beyond what its request can need: an endless or a
// huge body ends the exchange at the bound, as an error, with memory to spare.
TEST(VXMWebClient, ResponseBodiesAreBounded) {
    HttpServer server;
    VXMWebClient client(server.url("/"));
    struct Case {
        const char* name;
        HttpScript answer;
        bool upload;
    };
    const Case cases[] = {
        {"endless settings",
         {.headers = {{"Content-Type", "application/x-plist"}}, .endless = true},
         false},
        {"huge JSON",
         {.headers = {{"Content-Type", "application/json"}}, .fillBytes = 256u << 20},
         false},
        {"endless upload answer", {.endless = true}, true},
        {"huge upload answer", {.fillBytes = 64u << 20}, true},
    };
    for (const Case& c : cases) {
        for (bool async : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (async ? " async" : " sync"));
            server.enqueue(c.answer);
            auto request = VXMWebRequest::requestWithMethod(c.upload ? "POST" : "GET", "/big");
            if (c.upload) {
                request->addValueForFormField("id", "report[identifier]");
                request->setMaximumResponseSize(VXMWebRequest::kUploadMaximumResponseSize);
            }
            const uint64_t bound = request->maximumResponseSize();
            const long before = statusKiB("VmRSS:");
            Response r = async ? runAsync(client, request) : runSync(client, request);
            ASSERT_TRUE(r);
            const long after = statusKiB("VmRSS:");
            ASSERT_TRUE(r->error());
            EXPECT_EQ(r->error()->domain, vxmweb::kURLErrorDomain);
            EXPECT_EQ(r->error()->code, vxmweb::kURLErrorDataLengthExceedsMaximum);
            EXPECT_FALSE(r->wasSuccessful());
            EXPECT_LE(r->responseData().size(), bound);
            EXPECT_LT(after - before, static_cast<long>(bound / 1024 + 16 * 1024));
        }
    }
    // At the bound exactly, the answer is whole.
    server.enqueue({.body = std::string(VXMWebRequest::kUploadMaximumResponseSize, 'a')});
    auto request = VXMWebRequest::requestWithMethod("POST", "/exact");
    request->addValueForFormField("id", "report[identifier]");
    request->setMaximumResponseSize(VXMWebRequest::kUploadMaximumResponseSize);
    Response r = runAsync(client, request);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->wasSuccessful()) << r->description();
    EXPECT_EQ(r->responseData().size(), VXMWebRequest::kUploadMaximumResponseSize);
}

// A redirect is followed only within the origin of the request: the headers
// (the API key, the device's identity) never reach another host or go in
// the clear.
TEST(VXMWebClient, RedirectsStayWithinTheOrigin) {
    HttpServer secure(HttpServer::Options{.tls = true});
    HttpServer plain;
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "ca.pem", secure.certificatePEM());
    VXMWebClientTransaction::setTrustedCertificatesFile((dir / "ca.pem").string());
    VXMWebClient client(secure.url("/"));
    client.addValueForHeader("secret", "X-API-Key");
    struct Case {
        const char* name;
        std::string location;
        bool followed;
    };
    const Case cases[] = {
        {"same origin", secure.url("/target"), true},
        {"same origin, relative", "/target", true},
        {"other host", "https://localhost:" + std::to_string(secure.port()) + "/target", false},
        {"other port", "https://127.0.0.1:" + std::to_string(plain.port()) + "/target", false},
        {"https to http", plain.url("/target"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = secure.requests().size();
        secure.enqueue({.status = 302, .headers = {{"Location", c.location}}});
        secure.enqueue({.status = 200, .body = "here"});
        Response r = runAsync(client, VXMWebRequest::requestWithMethod("GET", "/moved"));
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->error()) << r->description();
        if (c.followed) {
            EXPECT_EQ(r->statusCode(), 200u);
            EXPECT_EQ(bodyText(r), "here");
            ASSERT_EQ(secure.requests().size(), before + 2);
            EXPECT_EQ(secure.requests().back().target, "/target");
        } else {
            EXPECT_EQ(r->statusCode(), 302u);
            EXPECT_FALSE(r->wasSuccessful());
            EXPECT_EQ(secure.requests().size(), before + 1);
            // Takes the unused answer off the queue.
            runAsync(client, VXMWebRequest::requestWithMethod("GET", "/drain"));
        }
    }
    VXMWebClientTransaction::setTrustedCertificatesFile(std::nullopt);
    EXPECT_EQ(plain.requests().size(), 0u);
}

// An upload goes out once per attempt, even when the server closes a reused
// connection after reading it.
TEST(VXMWebClient, UploadsAreNeverSentTwiceByTheTransport) {
    HttpServer server;
    VXMWebClient client(server.url("/"));
    server.enqueue({.status = 200, .body = "warm"});
    Response warm = runAsync(client, VXMWebRequest::requestWithMethod("GET", "/warm"));
    ASSERT_TRUE(warm && warm->wasSuccessful());
    server.setFallback({.drop = true});
    auto request = VXMWebRequest::requestWithMethod("POST", "/reports");
    request->addValueForFormField("id", "report[identifier]");
    Response r = runAsync(client, request);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->error());
    server.waitForRequests(3, 500ms);
    EXPECT_EQ(server.requests().size(), 2u);
}
