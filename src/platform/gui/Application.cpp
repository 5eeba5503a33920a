#include "platform/gui/Application.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>

#include "platform/core/Console.h"
#include "platform/core/Dispatch.h"
#include "platform/core/UniqueFd.h"
#include "platform/core/XdgPaths.h"

namespace platform {

namespace {

Application* gShared = nullptr;
int gSignalPipe[2] = {-1, -1};

std::atomic<int> gQuitSignals{0};  // lock-free, so safe in the handler

extern "C" void onQuitSignal(int sig) {
    // A second signal while the first waits (a hung event loop, a quit that
    // never replies) ends the process the default way.
    if (gQuitSignals.fetch_add(1) > 0) {
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] auto n = ::write(gSignalPipe[1], &c, 1);
    errno = saved;
}

std::string instanceSocketPath() {
    std::string dir = xdgRuntimeDir().value_or("/tmp/Tessaro-" + std::to_string(::getuid()));
    return dir + "/Tessaro/instance";
}

constexpr int kInstanceTimeoutMs = 5000;
// A request is a line of paths; anything longer is not one of ours.
constexpr qsizetype kMaxRequestBytes = 1 << 20;
constexpr size_t kMaxPendingClients = 32;

}  // namespace

void runGuarded(const char* what, const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        consoleLog("%s > uncaught exception: %s", what, e.what());
    } catch (...) {
        consoleLog("%s > uncaught exception", what);
    }
}

struct Application::Impl {
    std::unique_ptr<QApplication> qt;
    ApplicationDelegate* delegate = nullptr;
    ActivationPolicy policy = ActivationPolicy::Regular;
    std::function<void(ActivationPolicy)> policyObserver;
    bool terminating = false;
    bool awaitingReply = false;
    std::vector<std::string> arguments;  // without the options Qt took
    std::unique_ptr<QSocketNotifier> signalNotifier;
    std::unique_ptr<QSocketNotifier> server;
    int serverFd = -1;
    std::string serverPath;
    // Connections whose request line has not arrived yet, by a number of
    // their own (a descriptor number comes back once closed).
    struct Client {
        UniqueFd fd;
        QByteArray request;
        std::unique_ptr<QSocketNotifier> notifier;
        std::unique_ptr<QTimer> deadline;
    };
    std::map<uint64_t, std::unique_ptr<Client>> clients;
    uint64_t nextClient = 0;
};

Application::Application(int& argc, char** argv) : d_(std::make_unique<Impl>()) {
    d_->qt = std::make_unique<QApplication>(argc, argv);
    for (int i = 0; i < argc; ++i) d_->arguments.emplace_back(argv[i]);
    // The delegate decides what closing the last window does.
    QApplication::setQuitOnLastWindowClosed(false);
    gShared = this;

    setMainQueuePoster([](Task task) {
        // Queued even from the main thread, so a poster never runs a task inline.
        QMetaObject::invokeMethod(
            qApp, [task = std::move(task)] { runGuarded("MainQueue", task); },
            Qt::QueuedConnection);
    });

    QObject::connect(d_->qt.get(), &QGuiApplication::lastWindowClosed, [this] {
        runGuarded("Application > lastWindowClosed", [this] {
            if (d_->delegate && d_->delegate->applicationShouldTerminateAfterLastWindowClosed()) {
                terminate();
            }
        });
    });

    // SIGTERM and SIGINT quit through the delegate like the Quit command, so
    // that volumes are unmounted on a logout too.
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        d_->signalNotifier =
            std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(d_->signalNotifier.get(), &QSocketNotifier::activated, [this] {
            char buf[16];
            while (::read(gSignalPipe[0], buf, sizeof buf) > 0) {
            }
            runGuarded("Application > signal", [this] {
                terminate();
                // Cancelled: the next signal asks again.
                if (!d_->awaitingReply && !d_->terminating) gQuitSignals = 0;
            });
        });
        struct sigaction sa {};
        sa.sa_handler = onQuitSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
    }
}

Application::~Application() {
    if (d_->signalNotifier) {
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        d_->signalNotifier.reset();
        ::close(gSignalPipe[0]);
        ::close(gSignalPipe[1]);
        gSignalPipe[0] = gSignalPipe[1] = -1;
    }
    d_->clients.clear();
    if (d_->server) {
        d_->server.reset();
        ::close(d_->serverFd);
        ::unlink(d_->serverPath.c_str());
    }
    // Tasks posted from now on wait for a pump instead of reaching a dead loop.
    setMainQueuePoster(nullptr);
    gShared = nullptr;
    d_->qt.reset();
}

Application* Application::shared() {
    return gShared;
}
QApplication& Application::qt() {
    return *d_->qt;
}

void Application::setDelegate(ApplicationDelegate* delegate) {
    d_->delegate = delegate;
}
ApplicationDelegate* Application::delegate() const {
    return d_->delegate;
}

void Application::finishLaunching(const std::vector<std::string>& paths) {
    if (!d_->delegate) return;
    runGuarded("Application > willFinishLaunching",
               [this] { d_->delegate->applicationWillFinishLaunching(); });
    runGuarded("Application > didFinishLaunching",
               [this] { d_->delegate->applicationDidFinishLaunching(); });
    // Paths of the command line arrive once launching is done, from the
    // event loop, as a request from the desktop would.
    if (!paths.empty()) {
        mainQueue()->async([this, paths] {
            if (d_->delegate) d_->delegate->openFiles(paths);
        });
    }
}

int Application::run() {
    std::vector<char*> ptrs;
    for (auto& a : d_->arguments) ptrs.push_back(a.data());
    finishLaunching(pathsFromArguments(static_cast<int>(ptrs.size()), ptrs.data()));
    return QApplication::exec();
}

void Application::terminate() {
    if (d_->terminating || d_->awaitingReply) return;
    TerminateReply reply = TerminateReply::Now;
    if (d_->delegate) reply = d_->delegate->applicationShouldTerminate();
    switch (reply) {
        case TerminateReply::Cancel:
            return;
        case TerminateReply::Later:
            d_->awaitingReply = true;
            return;
        case TerminateReply::Now:
            replyToApplicationShouldTerminate(true);
            return;
    }
}

void Application::replyToApplicationShouldTerminate(bool shouldTerminate) {
    d_->awaitingReply = false;
    if (!shouldTerminate) gQuitSignals = 0;
    if (!shouldTerminate || d_->terminating) return;
    d_->terminating = true;
    if (d_->delegate) {
        runGuarded("Application > willTerminate",
                   [this] { d_->delegate->applicationWillTerminate(); });
    }
    QApplication::exit(0);
}

bool Application::isTerminating() const {
    return d_->terminating;
}

ActivationPolicy Application::activationPolicy() const {
    return d_->policy;
}

void Application::setActivationPolicy(ActivationPolicy policy) {
    d_->policy = policy;
    if (d_->policyObserver) d_->policyObserver(policy);
}

void Application::setActivationPolicyObserver(std::function<void(ActivationPolicy)> observer) {
    d_->policyObserver = std::move(observer);
}

bool Application::hasVisibleWindows() const {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && !(w->windowType() == Qt::ToolTip || w->windowType() == Qt::Popup)) {
            return true;
        }
    }
    return false;
}

namespace {

// One request per connection: a JSON line {"paths": [...]} in, a JSON line
// {"reply": n} out.
bool writeLine(int fd, const QByteArray& json) {
    QByteArray line = json + '\n';
    return writeFully(fd, line.constData(), static_cast<size_t>(line.size()));
}

// Reads up to the first newline; false on end of file, error or timeout.
bool readLine(int fd, QByteArray* line, int timeoutMs) {
    char c;
    while (true) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        line->append(c);
    }
}

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), std::min(path.size(), sizeof addr.sun_path - 1));
    return addr;
}

// Connected socket to the running instance, or -1 (and why in `err`).
int connectToInstance(const std::string& path, int* err) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    auto addr = socketAddress(path);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *err = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool Application::becomeFirstInstance(const std::vector<std::string>& paths, int* replyCode) {
    const std::string path = instanceSocketPath();
    if (path.size() >= sizeof(sockaddr_un::sun_path)) return true;
    // The socket's folder must be ours alone: nobody else may answer for us.
    const std::string dir = std::filesystem::path(path).parent_path();
    ::mkdir(std::filesystem::path(dir).parent_path().c_str(), 0700);
    ::mkdir(dir.c_str(), 0700);
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        consoleLog("Application > becomeFirstInstance > %s is not a private folder", dir.c_str());
        return true;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        int err = 0;
        if (int fd = connectToInstance(path, &err); fd >= 0) {
            QJsonArray list;
            for (const auto& p : paths) list.append(QString::fromStdString(p));
            QByteArray answer;
            int code = kOpenRequestSuccess;
            if (writeLine(
                    fd,
                    QJsonDocument(QJsonObject{{"paths", list}}).toJson(QJsonDocument::Compact)) &&
                readLine(fd, &answer, kInstanceTimeoutMs)) {
                code = QJsonDocument::fromJson(answer).object().value("reply").toInt(0);
            }
            ::close(fd);
            if (replyCode) *replyCode = code;
            return false;
        }
        // Nobody answers: a socket left by an instance that died is stale.
        if (err == ECONNREFUSED) ::unlink(path.c_str());
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        auto addr = socketAddress(path);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::listen(fd, 16) == 0) {
            d_->serverFd = fd;
            break;
        }
        const int bindErr = errno;
        if (fd >= 0) ::close(fd);
        // Another start bound it a moment ago: hand the request to that one.
        if (bindErr != EADDRINUSE) {
            consoleLog("Application > becomeFirstInstance > cannot listen on %s: %s", path.c_str(),
                       std::strerror(bindErr));
            return true;
        }
    }
    if (d_->serverFd < 0) return true;
    d_->serverPath = path;
    d_->server = std::make_unique<QSocketNotifier>(d_->serverFd, QSocketNotifier::Read);
    QObject::connect(d_->server.get(), &QSocketNotifier::activated, [this] {
        runGuarded("Application > open request", [this] { acceptRequests(); });
    });
    return true;
}

void Application::acceptRequests() {
    // Never waits: a client that connects and says nothing holds only its
    // own entry, until its deadline.
    for (;;) {
        UniqueFd fd(::accept4(d_->serverFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.ok()) return;
        if (d_->clients.size() >= kMaxPendingClients) continue;  // closed at once
        const uint64_t id = d_->nextClient++;
        auto client = std::make_unique<Impl::Client>();
        client->notifier = std::make_unique<QSocketNotifier>(fd.get(), QSocketNotifier::Read);
        client->fd = std::move(fd);
        client->deadline = std::make_unique<QTimer>();
        client->deadline->setSingleShot(true);
        QObject::connect(client->deadline.get(), &QTimer::timeout, [this, id] { dropClient(id); });
        QObject::connect(client->notifier.get(), &QSocketNotifier::activated, [this, id] {
            runGuarded("Application > open request", [this, id] { readRequest(id); });
        });
        client->deadline->start(kInstanceTimeoutMs);
        d_->clients.emplace(id, std::move(client));
    }
}

void Application::readRequest(uint64_t id) {
    auto it = d_->clients.find(id);
    if (it == d_->clients.end()) return;
    Impl::Client& client = *it->second;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(client.fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // more later
        if (n <= 0) return dropClient(id);                               // gone, or failed
        client.request.append(buf, n);
        if (client.request.contains('\n')) break;
        if (client.request.size() > kMaxRequestBytes) return dropClient(id);
    }
    const QByteArray line = client.request.left(client.request.indexOf('\n'));
    const int fd = client.fd.get();
    client.notifier->setEnabled(false);
    std::vector<std::string> list;
    for (const auto& v : QJsonDocument::fromJson(line).object().value("paths").toArray())
        list.push_back(v.toString().toStdString());
    int code = kOpenRequestSuccess;
    if (d_->delegate) {
        if (list.empty()) {
            d_->delegate->applicationShouldHandleReopen(hasVisibleWindows());
        } else {
            code = d_->delegate->openFiles(list);
        }
    }
    if (code == kOpenRequestNoReply) code = kOpenRequestSuccess;
    // A short line into an empty socket buffer: it never blocks; a client
    // that has filled its buffer loses its answer.
    const QByteArray reply =
        QJsonDocument(QJsonObject{{"reply", code}}).toJson(QJsonDocument::Compact) + '\n';
    [[maybe_unused]] auto sent = ::send(fd, reply.constData(), static_cast<size_t>(reply.size()),
                                        MSG_DONTWAIT | MSG_NOSIGNAL);
    dropClient(id);
}

void Application::dropClient(uint64_t id) {
    auto it = d_->clients.find(id);
    if (it == d_->clients.end()) return;
    // Its notifier may be the one whose signal runs now: it goes once that
    // has returned.
    it->second->notifier->setEnabled(false);
    std::shared_ptr<Impl::Client> client(std::move(it->second));
    d_->clients.erase(it);
    QMetaObject::invokeMethod(
        qApp, [client] {}, Qt::QueuedConnection);
}

std::vector<std::string> Application::pathsFromArguments(int argc, char** argv) {
    std::vector<std::string> paths;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && !a.empty() && a.front() == '-') continue;
        if (a.empty()) continue;
        paths.push_back(QFileInfo(QString::fromStdString(a)).absoluteFilePath().toStdString());
    }
    return paths;
}

}  // namespace platform
