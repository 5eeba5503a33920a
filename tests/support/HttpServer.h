#pragma once
// A loopback HTTP/1.1 server for tests: listens on 127.0.0.1 at an ephemeral
// port, records every request byte for byte and answers with scripted
// responses, one per request in the order they were queued. With TLS it
// serves a self-signed certificate made when it starts. It stops by itself
// after a bounded lifetime, so a hung test never leaves it behind.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// How the server answers one request.
struct HttpScript {
    int status = 200;
    HttpHeaders headers = {};  // sent in this order; Content-Length is added unless given
    std::string body = {};
    // Wait this long after reading the request before answering; longer than
    // the client's idle limit makes a stalled server.
    std::chrono::milliseconds delay{0};
    // Close the connection once the request is read, without any answer.
    bool drop = false;
    // Send the answer in pieces of trickleChunk bytes, tricklePause apart.
    size_t trickleChunk = 0;
    std::chrono::milliseconds tricklePause{0};
    // Read the request body in pieces of readChunk bytes, readPause apart (a
    // slow but steady peer).
    size_t readChunk = 0;
    std::chrono::milliseconds readPause{0};
    // Answer with "Connection: close" and close afterwards.
    bool close = false;
    // Count the request body but keep none of it (large uploads).
    bool discardBody = false;
    // After `body`, this many more bytes of filler, counted in Content-Length
    // (huge answers without holding them).
    uint64_t fillBytes = 0;
    // After `body`, filler until the peer goes away, with no Content-Length
    // (an endless answer).
    bool endless = false;
};

// One request as received.
struct HttpRecord {
    std::string raw;  // every byte of the request, head and body
    std::string method;
    std::string target;
    HttpHeaders headers;  // in the order sent
    std::string body = {};
    size_t bodyLength = 0;  // also when the body was discarded

    // The first header of that name, matched ignoring case.
    std::optional<std::string> header(std::string_view name) const;
    size_t headerCount(std::string_view name) const;
};

class HttpServer {
  public:
    struct Options {
        bool tls = false;
        std::chrono::seconds lifetime{60};
    };

    HttpServer();
    explicit HttpServer(Options options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" (or https) followed by `path`.
    std::string url(std::string_view path = "/") const;
    // The server's certificate in PEM form (TLS only).
    const std::string& certificatePEM() const { return certificatePEM_; }

    // Scripts are used one per request, in order; afterwards the fallback
    // (status 200, empty body, unless set).
    void enqueue(HttpScript script);
    void setFallback(HttpScript script);

    std::vector<HttpRecord> requests() const;
    // True once `count` requests have been read completely.
    bool waitForRequests(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    size_t connectionCount() const;

    // Closes the listener and every connection; waits for its threads.
    void stop();

    // A loopback port on which nothing listens (taken and released at once).
    static uint16_t unusedPort();

  private:
    struct Connection;

    void acceptLoop();
    void serve(std::shared_ptr<Connection> conn);
    void shutDown();
    bool waitOrStop(std::chrono::milliseconds d);
    HttpScript nextScript();

    Options options_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    void* sslCtx_ = nullptr;  // SSL_CTX*
    std::string certificatePEM_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::deque<HttpScript> scripts_;
    HttpScript fallback_;
    std::vector<HttpRecord> records_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<std::thread> workers_;
    size_t connectionCount_ = 0;
    std::thread acceptor_;
};

}  // namespace testsupport
