#include "platform/gui/Application.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>
#include <csignal>
#include <cstring>
#include <exception>
#include <filesystem>

#include "platform/core/Console.h"
#include "platform/core/Dispatch.h"
#include "platform/core/XdgPaths.h"

namespace platform {

namespace {

Application* gShared = nullptr;
int gSignalPipe[2] = {-1, -1};

extern "C" void onQuitSignal(int) {
    const int saved = errno;
    const char c = 1;
    // Nothing to do when the pipe is full: a quit is already on its way.
    [[maybe_unused]] auto n = ::write(gSignalPipe[1], &c, 1);
    errno = saved;
}

std::string instanceSocketPath() {
    std::string dir = xdgRuntimeDir().value_or("/tmp/Tessaro-" + std::to_string(::getuid()));
    return dir + "/Tessaro/instance";
}

constexpr int kInstanceTimeoutMs = 5000;

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
    std::unique_ptr<QLocalServer> server;
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
            runGuarded("Application > signal", [this] { terminate(); });
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
    if (d_->server) {
        const auto path = d_->server->fullServerName();
        d_->server.reset();
        QLocalServer::removeServer(path);
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

bool Application::becomeFirstInstance(const std::vector<std::string>& paths, int* replyCode) {
    const QString name = QString::fromStdString(instanceSocketPath());
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(name.toStdString()).parent_path(),
                                        ec);
    {
        QLocalSocket socket;
        socket.connectToServer(name);
        if (socket.waitForConnected(kInstanceTimeoutMs)) {
            QJsonArray list;
            for (const auto& p : paths) list.append(QString::fromStdString(p));
            socket.write(
                QJsonDocument(QJsonObject{{"paths", list}}).toJson(QJsonDocument::Compact));
            socket.write("\n");
            socket.flush();
            int code = kOpenRequestSuccess;
            if (socket.waitForReadyRead(kInstanceTimeoutMs)) {
                code = QJsonDocument::fromJson(socket.readLine()).object().value("reply").toInt(0);
            }
            if (replyCode) *replyCode = code;
            return false;
        }
    }
    // Nobody answers: a socket left by a crashed instance is stale.
    QLocalServer::removeServer(name);
    d_->server = std::make_unique<QLocalServer>();
    d_->server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!d_->server->listen(name)) {
        consoleLog("Application > becomeFirstInstance > cannot listen on %s: %s",
                   name.toUtf8().constData(), d_->server->errorString().toUtf8().constData());
        d_->server.reset();
        return true;
    }
    QObject::connect(d_->server.get(), &QLocalServer::newConnection, [this] {
        while (QLocalSocket* s = d_->server->nextPendingConnection()) {
            QObject::connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            QObject::connect(s, &QLocalSocket::readyRead, s, [this, s] {
                if (!s->canReadLine()) return;
                runGuarded("Application > open request", [this, s] {
                    const auto doc = QJsonDocument::fromJson(s->readLine()).object();
                    std::vector<std::string> list;
                    for (const auto& v : doc.value("paths").toArray()) {
                        list.push_back(v.toString().toStdString());
                    }
                    int code = kOpenRequestSuccess;
                    if (d_->delegate) {
                        if (list.empty()) {
                            d_->delegate->applicationShouldHandleReopen(hasVisibleWindows());
                        } else {
                            code = d_->delegate->openFiles(list);
                        }
                    }
                    if (code == kOpenRequestNoReply) code = kOpenRequestSuccess;
                    s->write(
                        QJsonDocument(QJsonObject{{"reply", code}}).toJson(QJsonDocument::Compact));
                    s->write("\n");
                    s->flush();
                });
            });
        }
    });
    return true;
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
