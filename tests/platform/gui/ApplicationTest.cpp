#include "platform/gui/Application.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCheckBox>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/core/Dispatch.h"
#include "platform/gui/Alert.h"
#include "platform/gui/FilePanel.h"
#include "platform/gui/Sheet.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

TESSARO_QT_TEST_APP();

using testsupport::spinUntil;

TEST(Application, MainQueueTasksRunOnTheEventLoopInOrder) {
    std::vector<int> order;
    std::thread::id ranOn;
    // From another thread: handed over without waiting for the main thread.
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i) {
            platform::mainQueue()->async([&, i] {
                order.push_back(i);
                ranOn = std::this_thread::get_id();
            });
        }
    });
    poster.join();
    // From the main thread: queued, never run inline.
    bool inlineRan = false;
    platform::mainQueue()->async([&] { inlineRan = true; });
    EXPECT_FALSE(inlineRan);
    ASSERT_TRUE(spinUntil([&] { return inlineRan; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    // An exception of a task stays inside it.
    bool after = false;
    platform::mainQueue()->async([] { throw std::runtime_error("task failed"); });
    platform::mainQueue()->async([&] { after = true; });
    EXPECT_TRUE(spinUntil([&] { return after; }));
}

// Alerts open without a nested loop: timers keep firing while one is up,
// and the completion gets the button and the check box.
TEST(Application, AlertsOpenWithoutANestedLoop) {
    QWidget window;
    window.show();
    platform::Alert alert;
    alert.messageText = "Title";
    alert.informativeText = "Text";
    alert.buttons = {"First", "Second", "Third"};
    alert.showsSuppressionButton = true;
    int response = 0;
    bool suppressed = false;
    QMessageBox* box = alert.open(&window, [&](int r, bool s) {
        response = r;
        suppressed = s;
    });
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(1);
    ASSERT_TRUE(spinUntil([&] { return ticks >= 3; }));
    ASSERT_EQ(platform::visibleAlerts().size(), 1u);
    box->checkBox()->setChecked(true);
    platform::pressAlertButton(box, 1);
    ASSERT_TRUE(spinUntil([&] { return platform::visibleAlerts().empty(); }));
    EXPECT_EQ(response, platform::Alert::kSecondButton);
    EXPECT_TRUE(suppressed);
}

// A long message reads in a few lines, not in a column under the title; an
// alert opened before its window is on the screen stands over it, still
// answerable, once it is.
TEST(Application, AlertsShowTheirWholeTextOverTheirWindow) {
    QWidget window;
    window.setGeometry(100, 100, 900, 560);
    platform::Alert alert;
    alert.messageText = "Not supported";
    alert.informativeText =
        "The folder \"Vault.zel\" has no password users. Folders protected by certificates are "
        "not supported.";
    alert.buttons = {"Eject"};
    int response = 0;
    QMessageBox* box = alert.open(&window, [&](int r, bool) { response = r; });
    auto* info = box->findChild<QLabel*>("qt_msgbox_informativelabel");
    ASSERT_TRUE(info);
    window.show();
    ASSERT_TRUE(spinUntil([&] {
        return box->isVisible() && window.geometry().contains(box->geometry().center());
    })) << box->geometry().x()
        << "," << box->geometry().y();
    EXPECT_LE(info->height(), 3 * info->fontMetrics().lineSpacing() + 4) << info->width();
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    platform::pressAlertButton(box, 0);
    ASSERT_TRUE(spinUntil([&] { return platform::visibleAlerts().empty(); }));
    EXPECT_EQ(response, platform::Alert::kFirstButton);
}

// A sheet reports how it ended, each time it is opened, to that opening's handler.
TEST(Application, SheetsEndThroughTheirHandler) {
    QWidget window;
    window.show();
    QDialog sheet;
    std::vector<int> ends;
    platform::beginSheet(&sheet, &window, [&](int code) { ends.push_back(code); });
    EXPECT_TRUE(sheet.isVisible());
    EXPECT_EQ(sheet.windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet.parentWidget(), &window);
    sheet.done(7);
    platform::beginSheet(&sheet, &window, [&](int code) { ends.push_back(100 + code); });
    sheet.reject();
    EXPECT_EQ(ends, (std::vector<int>{7, 100}));
}

// Open panels answer through their completion. With files and folders both
// choosable, a folder of an allowed type is chosen like a file while another
// folder is entered; Cancel gives nothing.
TEST(Application, OpenPanelsAnswerThroughTheirCompletion) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir / "plain" / "Inner.zel");
    QWidget window;
    window.show();
    platform::FilePanel panel;
    panel.canChooseDirectories = true;
    panel.allowedFileTypes = {"zel"};
    panel.directory = dir.path().string();
    int result = -1;
    std::vector<std::string> paths;
    auto done = [&](int r, std::vector<std::string> p) {
        result = r;
        paths = std::move(p);
    };
    QFileDialog* dialog = panel.open(&window, done);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    dialog->selectFile(QString::fromStdString((dir / "plain").string()));
    QMetaObject::invokeMethod(dialog, "accept");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), (dir / "plain").string());
    dialog->selectFile(QString::fromStdString((dir / "plain" / "Inner.zel").string()));
    QMetaObject::invokeMethod(dialog, "accept");
    ASSERT_TRUE(spinUntil([&] { return result != -1; }));
    EXPECT_EQ(result, platform::FilePanel::kOK);
    EXPECT_EQ(paths, (std::vector<std::string>{(dir / "plain" / "Inner.zel").string()}));

    result = -1;
    QMetaObject::invokeMethod(panel.open(nullptr, done), "reject");
    ASSERT_TRUE(spinUntil([&] { return result != -1; }));
    EXPECT_EQ(result, platform::FilePanel::kCancel);
    EXPECT_TRUE(paths.empty());
}

class RecordingDelegate : public platform::ApplicationDelegate {
  public:
    platform::TerminateReply reply = platform::TerminateReply::Now;
    int asked = 0;
    int willTerminate = 0;
    platform::TerminateReply applicationShouldTerminate() override {
        ++asked;
        return reply;
    }
    void applicationWillTerminate() override { ++willTerminate; }
};

// Quitting asks the delegate; Later waits for its reply, Cancel keeps the
// application running.
TEST(Application, TerminationFollowsTheDelegatesAnswer) {
    auto* app = platform::Application::shared();
    RecordingDelegate delegate;
    app->setDelegate(&delegate);

    delegate.reply = platform::TerminateReply::Cancel;
    app->terminate();
    EXPECT_EQ(delegate.asked, 1);
    EXPECT_FALSE(app->isTerminating());

    delegate.reply = platform::TerminateReply::Later;
    app->terminate();
    app->terminate();  // a second request while one waits is ignored
    EXPECT_EQ(delegate.asked, 2);
    app->replyToApplicationShouldTerminate(false);
    EXPECT_FALSE(app->isTerminating());
    EXPECT_EQ(delegate.willTerminate, 0);
    app->setDelegate(nullptr);
}

// SIGTERM quits through the delegate like the Quit command; a cancelled quit
// leaves the next signal to ask again.
TEST(Application, TerminationSignalAsksTheDelegate) {
    auto* app = platform::Application::shared();
    RecordingDelegate delegate;
    delegate.reply = platform::TerminateReply::Cancel;
    app->setDelegate(&delegate);
    ::raise(SIGTERM);
    ASSERT_TRUE(spinUntil([&] { return delegate.asked == 1; }));
    ::raise(SIGTERM);
    ASSERT_TRUE(spinUntil([&] { return delegate.asked == 2; }));
    EXPECT_FALSE(app->isTerminating());
    app->setDelegate(nullptr);
}

TEST(Application, CommandLinePathsAreAbsoluteAndSkipOptions) {
    char a0[] = "Tessaro", a1[] = "-platform", a2[] = "/abs/one.zel", a3[] = "rel.zel", a4[] = "--",
         a5[] = "-dash.zel";
    char* argv[] = {a0, a1, a2, a3, a4, a5};
    auto paths = platform::Application::pathsFromArguments(6, argv);
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], "/abs/one.zel");
    EXPECT_EQ(paths[1], std::filesystem::current_path() / "rel.zel");
    EXPECT_EQ(paths[2], std::filesystem::current_path() / "-dash.zel");
}

namespace {

int connectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when the other end has closed the connection (or sent something).
bool hasEnded(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

class OpenRecorder : public platform::ApplicationDelegate {
  public:
    std::vector<std::vector<std::string>> opened;
    int openFiles(const std::vector<std::string>& paths) override {
        opened.push_back(paths);
        return platform::kOpenRequestSuccess;
    }
};

}  // namespace

// Requests of other starts are read without waiting: a local client that
// connects and says nothing, or one that never ends its line, holds up
// nobody else.
TEST(Application, SecondStartsAreHeardPastASilentClient) {
    testsupport::TempDir runtime("instance");
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    auto* app = platform::Application::shared();
    OpenRecorder delegate;
    app->setDelegate(&delegate);
    ASSERT_TRUE(app->becomeFirstInstance({}, nullptr));
    const std::string socketPath = (runtime / "Tessaro/instance").string();

    const int silent = connectTo(socketPath);
    ASSERT_GE(silent, 0);
    const int flood = connectTo(socketPath);
    ASSERT_GE(flood, 0);
    const std::string chunk(64 * 1024, 'x');  // no newline, ever
    std::atomic<bool> flooding = true;
    std::thread flooder([&] {
        while (flooding && ::send(flood, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
        }
    });

    std::atomic<int> reply = -1;
    std::thread second([&] {
        const int fd = connectTo(socketPath);
        const std::string request = "{\"paths\":[\"/a/Vault.zel\"]}\n";
        if (fd < 0 || ::write(fd, request.data(), request.size()) < 0) return;
        char buf[64] = {};
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) > 0 && ::read(fd, buf, sizeof buf - 1) > 0)
            reply = std::string(buf) == "{\"reply\":0}\n" ? 0 : 1;
        ::close(fd);
    });
    ASSERT_TRUE(spinUntil([&] { return reply != -1; }));
    second.join();
    EXPECT_EQ(reply, 0);
    EXPECT_EQ(delegate.opened, (std::vector<std::vector<std::string>>{{"/a/Vault.zel"}}));
    // Answered while the silent client still waits: nothing read it in turn.
    EXPECT_FALSE(hasEnded(silent));
    // The endless line is cut off at its bound.
    EXPECT_TRUE(spinUntil([&] {
        pollfd p{flood, POLLOUT, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP));
    }));
    flooding = false;
    ::shutdown(flood, SHUT_RDWR);
    flooder.join();
    ::close(flood);
    ::close(silent);
    app->setDelegate(nullptr);
}
