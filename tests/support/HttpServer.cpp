#include "support/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return std::string(s);
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 413:
            return "Payload Too Large";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

// A self-signed certificate for 127.0.0.1 on a fresh P-256 key.
void makeSelfSignedContext(SSL_CTX** outCtx, std::string* outPem) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    if (!key || !cert) throw std::runtime_error("HttpServer: key generation failed");
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(getpid()) + 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                              std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(cert, key, EVP_sha256());

    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);

    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    outPem->assign(data, static_cast<size_t>(len));
    BIO_free(bio);
    X509_free(cert);
    EVP_PKEY_free(key);
    *outCtx = ctx;
}

}  // namespace

std::optional<std::string> HttpRecord::header(std::string_view name) const {
    for (const auto& [k, v] : headers) {
        if (equalsIgnoringCase(k, name)) return v;
    }
    return std::nullopt;
}

size_t HttpRecord::headerCount(std::string_view name) const {
    return static_cast<size_t>(std::count_if(headers.begin(), headers.end(), [&](const auto& h) {
        return equalsIgnoringCase(h.first, name);
    }));
}

struct HttpServer::Connection {
    int fd = -1;
    SSL* ssl = nullptr;
    std::string pending;  // bytes read beyond the current request

    ~Connection() {
        if (ssl) SSL_free(ssl);
        if (fd >= 0) ::close(fd);
    }
    // Some bytes, or 0 at end of stream / error.
    ssize_t read(char* buf, size_t n) {
        if (ssl) {
            int r = SSL_read(ssl, buf, static_cast<int>(std::min<size_t>(n, 1 << 20)));
            return r > 0 ? r : 0;
        }
        for (;;) {
            ssize_t r = ::recv(fd, buf, n, 0);
            if (r < 0 && errno == EINTR) continue;
            return r > 0 ? r : 0;
        }
    }
    bool writeAll(std::string_view data) {
        while (!data.empty()) {
            ssize_t w;
            if (ssl) {
                int r = SSL_write(ssl, data.data(),
                                  static_cast<int>(std::min<size_t>(data.size(), 1 << 20)));
                w = r > 0 ? r : -1;
            } else {
                w = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
                if (w < 0 && errno == EINTR) continue;
            }
            if (w <= 0) return false;
            data.remove_prefix(static_cast<size_t>(w));
        }
        return true;
    }
};

HttpServer::HttpServer() : HttpServer(Options{}) {}

HttpServer::HttpServer(Options options) : options_(options) {
    // A peer that hangs up mid-answer must not kill the test program.
    signal(SIGPIPE, SIG_IGN);
    if (options_.tls)
        makeSelfSignedContext(reinterpret_cast<SSL_CTX**>(&sslCtx_), &certificatePEM_);

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 64) != 0) {
        throw std::runtime_error(std::string("HttpServer: cannot listen: ") + std::strerror(errno));
    }
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0) throw std::runtime_error("HttpServer: pipe failed");
    acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpServer::~HttpServer() {
    stop();
    if (sslCtx_) SSL_CTX_free(static_cast<SSL_CTX*>(sslCtx_));
}

std::string HttpServer::url(std::string_view path) const {
    return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
           std::string(path);
}

void HttpServer::enqueue(HttpScript script) {
    std::lock_guard lock(mutex_);
    scripts_.push_back(std::move(script));
}

void HttpServer::setFallback(HttpScript script) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(script);
}

std::vector<HttpRecord> HttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return records_;
}

bool HttpServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return records_.size() >= count; });
}

size_t HttpServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return connectionCount_;
}

uint16_t HttpServer::unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

HttpScript HttpServer::nextScript() {
    std::lock_guard lock(mutex_);
    if (scripts_.empty()) return fallback_;
    HttpScript s = std::move(scripts_.front());
    scripts_.pop_front();
    return s;
}

bool HttpServer::waitOrStop(std::chrono::milliseconds d) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, d, [&] { return stopping_; });
}

void HttpServer::shutDown() {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    for (auto& c : connections_) ::shutdown(c->fd, SHUT_RDWR);
    changed_.notify_all();
    char byte = 1;
    [[maybe_unused]] ssize_t r = ::write(wakePipe_[1], &byte, 1);
}

void HttpServer::stop() {
    shutDown();
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& t : workers) t.join();
    {
        std::lock_guard lock(mutex_);
        connections_.clear();
    }
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
    for (int& fd : wakePipe_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void HttpServer::acceptLoop() {
    const auto deadline = std::chrono::steady_clock::now() + options_.lifetime;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            shutDown();
            return;
        }
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        int n = ::poll(fds, 2, static_cast<int>(std::min<long>(left.count(), 200)));
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
        }
        if (n <= 0 || !(fds[0].revents & POLLIN)) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        auto conn = std::make_shared<Connection>();
        conn->fd = fd;
        std::lock_guard lock(mutex_);
        if (stopping_) return;  // conn closes the socket
        connections_.push_back(conn);
        ++connectionCount_;
        workers_.emplace_back([this, conn] { serve(conn); });
    }
}

void HttpServer::serve(std::shared_ptr<Connection> conn) {
    if (sslCtx_) {
        conn->ssl = SSL_new(static_cast<SSL_CTX*>(sslCtx_));
        SSL_set_fd(conn->ssl, conn->fd);
        if (SSL_accept(conn->ssl) != 1) {
            ERR_clear_error();
            ::shutdown(conn->fd, SHUT_RDWR);
            return;
        }
    }
    char buf[64 * 1024];
    for (;;) {
        // The head: everything up to the blank line.
        std::string& data = conn->pending;
        size_t headEnd;
        while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
            ssize_t r = conn->read(buf, sizeof buf);
            if (r <= 0) return;
            data.append(buf, static_cast<size_t>(r));
        }
        HttpRecord rec;
        std::string head = data.substr(0, headEnd + 4);
        data.erase(0, headEnd + 4);
        size_t lineEnd = head.find("\r\n");
        std::string requestLine = head.substr(0, lineEnd);
        size_t sp1 = requestLine.find(' ');
        size_t sp2 = requestLine.rfind(' ');
        if (sp1 != std::string::npos && sp2 > sp1) {
            rec.method = requestLine.substr(0, sp1);
            rec.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
        }
        for (size_t pos = lineEnd + 2; pos < headEnd;) {
            size_t end = head.find("\r\n", pos);
            std::string line = head.substr(pos, end - pos);
            pos = end + 2;
            size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            rec.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
        }
        HttpScript script = nextScript();
        if (auto expect = rec.header("Expect");
            expect && equalsIgnoringCase(*expect, "100-continue")) {
            if (!conn->writeAll("HTTP/1.1 100 Continue\r\n\r\n")) return;
        }
        // The body, at the script's pace.
        size_t length = 0;
        if (auto cl = rec.header("Content-Length")) length = std::stoull(*cl);
        rec.bodyLength = length;
        // Discarded bytes are counted off `length` as they arrive.
        while (data.size() < length) {
            size_t want =
                std::min(length - data.size(), script.readChunk ? script.readChunk : sizeof buf);
            ssize_t r = conn->read(buf, std::min(want, sizeof buf));
            if (r <= 0) return;
            data.append(buf, static_cast<size_t>(r));
            if (script.discardBody) {
                size_t drop = std::min(data.size(), length);
                data.erase(0, drop);
                length -= drop;
            }
            if (script.readPause.count() && !waitOrStop(script.readPause)) return;
        }
        rec.body = data.substr(0, length);
        data.erase(0, length);
        rec.raw = head + rec.body;
        {
            std::lock_guard lock(mutex_);
            records_.push_back(std::move(rec));
            changed_.notify_all();
        }

        if (script.delay.count() && !waitOrStop(script.delay)) return;
        if (script.drop) {
            ::shutdown(conn->fd, SHUT_RDWR);
            return;
        }
        std::string answer = "HTTP/1.1 " + std::to_string(script.status) + " " +
                             reasonPhrase(script.status) + "\r\n";
        bool hasLength = false;
        for (const auto& [k, v] : script.headers) {
            answer += k + ": " + v + "\r\n";
            hasLength |= equalsIgnoringCase(k, "Content-Length");
        }
        if (!hasLength && !script.endless)
            answer +=
                "Content-Length: " + std::to_string(script.body.size() + script.fillBytes) + "\r\n";
        if (script.close || script.endless) answer += "Connection: close\r\n";
        answer += "\r\n" + script.body;
        std::string_view rest(answer);
        size_t chunk = script.trickleChunk ? script.trickleChunk : rest.size();
        while (!rest.empty()) {
            size_t n = std::min(chunk, rest.size());
            if (!conn->writeAll(rest.substr(0, n))) return;
            rest.remove_prefix(n);
            if (!rest.empty() && script.tricklePause.count() && !waitOrStop(script.tricklePause))
                return;
        }
        if (script.fillBytes || script.endless) {
            const std::string filler(64 * 1024, 'x');
            for (uint64_t left = script.fillBytes; script.endless || left > 0;) {
                size_t n = script.endless
                               ? filler.size()
                               : static_cast<size_t>(std::min<uint64_t>(left, filler.size()));
                if (!conn->writeAll(std::string_view(filler).substr(0, n))) return;
                left -= std::min<uint64_t>(left, n);
            }
        }
        if (script.close || script.endless) {
            if (conn->ssl) SSL_shutdown(conn->ssl);
            ::shutdown(conn->fd, SHUT_RDWR);
            return;
        }
    }
}

}  // namespace testsupport
