// Starts the real Tessaro on a virtual X server with a window manager and a
// folder it cannot open, takes a screenshot and checks that it shows the main
// window with the folder in its sidebar and the alert whole over it, hands it two more requests
// from second starts, and quits it with SIGTERM.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSet>
#include <QThread>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/logic/QVFuseInstaller.h"
#include "support/HttpServer.h"
#include "support/QtSpin.h"
#include "support/TempDir.h"

using testsupport::spinUntil;
namespace fs = std::filesystem;

namespace {

// Distinct colours of a coarse sample: a bare X screen has one.
int colourCount(const QImage& image) {
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 8) {
        for (int x = 0; x < image.width(); x += 8) colours.insert(image.pixel(x, y));
    }
    return static_cast<int>(colours.size());
}

// Share of a coarse sample that is not the bare screen's black: the window
// has been painted, not just mapped.
double paintedShare(const QImage& image) {
    int painted = 0, all = 0;
    for (int y = 0; y < image.height(); y += 8) {
        for (int x = 0; x < image.width(); x += 8, ++all) {
            if (qGray(image.pixel(x, y)) > 16) ++painted;
        }
    }
    return all ? static_cast<double>(painted) / all : 0.0;
}

// The mapped windows that `xdotool search --onlyvisible <criteria>` finds on
// the screen, largest first.
std::vector<QRect> windowRects(const std::string& criteria) {
    std::vector<QRect> rects;
    const std::string ids =
        testsupport::commandOutput("xdotool search --onlyvisible " + criteria + " 2>/dev/null");
    std::istringstream list(ids);
    for (std::string id; list >> id;) {
        std::istringstream geometry(
            testsupport::commandOutput("xdotool getwindowgeometry --shell " + id));
        int x = 0, y = 0, w = 0, h = 0;
        for (std::string line; std::getline(geometry, line);) {
            auto value = [&](const char* key) { return std::stoi(line.substr(strlen(key))); };
            if (line.starts_with("X=")) x = value("X=");
            if (line.starts_with("Y=")) y = value("Y=");
            if (line.starts_with("WIDTH=")) w = value("WIDTH=");
            if (line.starts_with("HEIGHT=")) h = value("HEIGHT=");
        }
        rects.emplace_back(x, y, w, h);
    }
    std::sort(rects.begin(), rects.end(), [](const QRect& a, const QRect& b) {
        return a.width() * a.height() > b.width() * b.height();
    });
    return rects;
}

// The largest mapped window named "Tessaro" on the screen: the main window
// (its alerts are smaller). Empty when there is none.
QRect mainWindowRect() {
    const auto rects = windowRects("--name '^Tessaro$'");
    return rects.empty() ? QRect() : rects.front();
}

// A selected row: at least 12 lines on which 100 or more neighbouring pixels
// have one strong colour (the selection's; the window's chrome is grey).
bool holdsASelectedRow(const QImage& image) {
    int lines = 0;
    for (int y = 0; y < image.height(); ++y) {
        int run = 0, longest = 0;
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const int spread =
                std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()});
            const bool same = x > 0 && image.pixel(x, y) == image.pixel(x - 1, y);
            run = spread > 80 ? (same ? run + 1 : 1) : 0;
            longest = std::max(longest, run);
        }
        lines = longest >= 100 ? lines + 1 : 0;
        if (lines >= 12) return true;
    }
    return false;
}

// A window manager, as a desktop has: it frames and places the windows,
// and stacks an alert over the window it belongs to.
struct WindowManager {
    QProcess process;
    bool start() {
        process.start("openbox", {"--sm-disable"});
        if (!process.waitForStarted()) {
            ADD_FAILURE() << "openbox is not installed (scripts/install-deps)";
            return false;
        }
        const bool up = spinUntil([] {
            return testsupport::commandOutput("xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null")
                       .find("window id") != std::string::npos;
        });
        if (!up) ADD_FAILURE() << "the window manager did not start";
        return up;
    }
    ~WindowManager() {
        process.terminate();
        process.waitForFinished(3000);
    }
};

// The program's environment: its places are folders of `dir`, and it draws on
// the X screen rather than the test services' offscreen platform.
QProcessEnvironment privateEnvironment(const testsupport::TempDir& dir) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.remove("VexmorAPIEndpoint");
    for (const char* v :
         {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_STATE_HOME", "XDG_CACHE_HOME"}) {
        std::filesystem::create_directories(dir / v);
        env.insert(v, QString::fromStdString((dir / v).string()));
    }
    std::filesystem::permissions(dir / "XDG_RUNTIME_DIR", std::filesystem::perms::owner_all);
    return env;
}

// The visible windows of process `pid` smaller than `main`, by their place on
// the screen (xwininfo's absolute corner: xdotool's is off by the frame).
std::vector<QRect> smallerWindowsOf(qint64 pid, const QRect& main) {
    std::vector<QRect> rects;
    std::istringstream ids(testsupport::commandOutput("xdotool search --onlyvisible --pid " +
                                                      std::to_string(pid) + " 2>/dev/null"));
    for (std::string id; ids >> id;) {
        std::istringstream info(testsupport::commandOutput("xwininfo -id " + id));
        int x = 0, y = 0, w = 0, h = 0;
        for (std::string line; std::getline(info, line);) {
            auto value = [&](const char* key) {
                const size_t at = line.find(key);
                return at == std::string::npos ? -1 : std::stoi(line.substr(at + strlen(key)));
            };
            if (int v = value("Absolute upper-left X:"); v >= 0) x = v;
            if (int v = value("Absolute upper-left Y:"); v >= 0) y = v;
            if (int v = value("Width:"); v >= 0) w = v;
            if (int v = value("Height:"); v >= 0) h = v;
        }
        const QRect r(x, y, w, h);
        if (w > 1 && h > 1 && w * h < main.width() * main.height()) rects.push_back(r);
    }
    return rects;
}

// The screen once it has stood still for half a second (a window mapped a
// moment ago may not be painted yet).
QImage stillScreen() {
    QImage shot;
    QElapsedTimer still;
    spinUntil([&] {
        QImage now = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
        if (now != shot) {
            shot = now;
            still.start();
            return false;
        }
        return still.elapsed() > 500;
    });
    return shot;
}

std::string mounts() {
    std::ifstream in("/proc/self/mounts");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// The real program on the X screen, under a window manager.
class AppEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(qgetenv("DISPLAY"), QByteArray()) << "run through xvfb-run";
        // This process grabs the X screen that the program draws on; on the
        // test services' offscreen platform it would only see its own empty one.
        qputenv("QT_QPA_PLATFORM", "xcb");
        qt_ = std::make_unique<QApplication>(argc_, argv_);
        wm_ = std::make_unique<WindowManager>();
        ASSERT_TRUE(wm_->start());
    }

  private:
    char name_[13] = "test_app_e2e";
    char* argv_[2] = {name_, nullptr};
    int argc_ = 1;
    std::unique_ptr<QApplication> qt_;
    std::unique_ptr<WindowManager> wm_;  // ends before the application
};

TEST_F(AppEndToEnd, StartsShowsItsWindowAndQuits) {
    testsupport::TempDir dir("tessaro-e2e");
    for (const char* folder : {"Vault.zel", "Second.zel"}) {
        std::filesystem::create_directory(dir / folder);
        testsupport::writeFile(dir / folder / "_QXCFG.MOX", "x");
    }
    testsupport::writeFile(dir / "plain.txt", "not a folder");
    const QProcessEnvironment env = privateEnvironment(dir);

    QProcess app;
    app.setProcessEnvironment(env);
    QString log;
    QObject::connect(&app, &QProcess::readyReadStandardError,
                     [&] { log += QString::fromUtf8(app.readAllStandardError()); });
    app.start(TESSARO_APP_BINARY, {QString::fromStdString((dir / "Vault.zel").string())});
    ASSERT_TRUE(app.waitForStarted());
    ASSERT_TRUE(spinUntil([&] {
        return log.contains("Application did Finish Launching") &&
               log.contains("Application open files: ");
    })) << log.toStdString();

    // The window is mapped and painted once the screen holds more than a few
    // colours and a good part of it is no longer black; the picture is taken
    // once it has stood still for a moment, so that a sheet mapped a little
    // later shows painted rather than as a black hole.
    QImage shot;
    QElapsedTimer still;
    ASSERT_TRUE(spinUntil([&] {
        QImage now = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
        if (now != shot) {
            shot = now;
            still.start();
            return false;
        }
        return still.elapsed() > 500 && colourCount(shot) > 3 && paintedShare(shot) > 0.25;
    })) << "no window appeared";
    const std::string png = std::string(TESSARO_BINARY_DIR) + "/app-e2e-screenshot.png";
    ASSERT_TRUE(shot.save(QString::fromStdString(png), "PNG"));
    EXPECT_GT(std::filesystem::file_size(png), 1000u);
    // What the picture shows: the main window, painted all over, and its
    // sidebar holding the opened folder as its selected row.
    const QRect main = mainWindowRect().intersected(shot.rect());
    ASSERT_GE(main.width(), 600) << "no main window on the screen";
    ASSERT_GE(main.height(), 400);
    const QImage window = shot.copy(main);
    EXPECT_GT(colourCount(window), 10);
    EXPECT_GT(paintedShare(window), 0.9);
    EXPECT_TRUE(holdsASelectedRow(window.copy(0, 0, main.width() / 4, main.height())))
        << "the sidebar shows no folder; see " << png;
    // The folder is no folder of ours ("Not supported"): the alert that says
    // so stands whole over the main window, and the first start's tour waits
    // for its answer instead of covering it.
    // Its other windows over the main one (the tray's icon stands apart).
    std::vector<QRect> over;
    std::string seen;
    for (const QRect& r : windowRects("--pid " + std::to_string(app.processId()))) {
        seen += std::to_string(r.width()) + "x" + std::to_string(r.height()) + "+" +
                std::to_string(r.x()) + "+" + std::to_string(r.y()) + " ";
        if (r != mainWindowRect() && r.intersects(main)) over.push_back(r);
    }
    ASSERT_EQ(over.size(), 1u) << "not one alert over the main window: " << seen << "; see " << png;
    EXPECT_TRUE(main.contains(over[0])) << "the alert stands apart; see " << png;
    EXPECT_GE(over[0].width(), 350) << "the alert is a narrow column; see " << png;
    EXPECT_TRUE(windowRects("--name '^Welcome to Tessaro$'").empty()) << "see " << png;

    // Second starts hand their request to the running program and exit with its answer.
    auto secondStart = [&](const std::filesystem::path& p) {
        QProcess second;
        second.setProcessEnvironment(env);
        second.start(TESSARO_APP_BINARY, {QString::fromStdString(p.string())});
        bool finished = spinUntil([&] { return second.state() == QProcess::NotRunning; });
        return finished ? second.exitCode() : -1;
    };
    EXPECT_EQ(secondStart(dir / "Second.zel"), 0);
    EXPECT_EQ(secondStart(dir / "plain.txt"), 2);
    EXPECT_TRUE(log.contains(QString::fromStdString((dir / "Second.zel").string())));

    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(spinUntil([&] { return app.state() == QProcess::NotRunning; }));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0) << log.toStdString();
    EXPECT_EQ(mounts().find(dir.path().string()), std::string::npos);
}

// A crash, then the next start against a loopback collector whose settings ask
// for permission: the alert stands over the main window painted with its
// text, not as a black box, nothing leaves before the answer, and Return
// (Send) sends the report once.
TEST_F(AppEndToEnd, CrashReportAlertIsReadableAndAsksFirst) {
    // The crash leaves no core file behind.
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);

    testsupport::HttpServer collector({.lifetime = std::chrono::seconds(110)});
    collector.setFallback(testsupport::HttpScript{
        .status = 200,
        .headers = {{"Content-Type", "application/x-plist"}},
        .body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                "<key>settings_version</key><integer>2</integer>"
                "<key>app</key><dict><key>status</key><string>activated</string>"
                "<key>reports_url</key><string>" +
                collector.url("/reports") +
                "</string></dict>"
                "<key>settings</key><dict><key>collect_reports</key><true/></dict>"
                "<key>features</key><dict><key>prompt_enabled</key><true/></dict>"
                "<key>prompt</key><dict><key>title</key><string>Send the crash report?</string>"
                "<key>message</key><string>Tessaro quit unexpectedly.</string>"
                "<key>show_always_send_button</key><true/></dict></dict></plist>"});
    auto reports = [&] {
        size_t n = 0;
        for (const auto& r : collector.requests())
            n += r.method == "POST" && r.target == "/reports";
        return n;
    };

    testsupport::TempDir dir("tessaro-e2e-report");
    QProcessEnvironment env = privateEnvironment(dir);
    env.insert("VexmorAPIEndpoint", QString::fromStdString(collector.url("/")));
    const fs::path data = dir / "XDG_CACHE_HOME/com.vexmor.data/com.norvane.tessaro";

    // The first start learns the settings and crashes.
    {
        QProcess app;
        app.setProcessEnvironment(env);
        app.start(TESSARO_APP_BINARY, QStringList{});
        ASSERT_TRUE(app.waitForStarted());
        ASSERT_TRUE(spinUntil([&] { return !collector.requests().empty(); }))
            << "no settings request";
        // Kept settings: the reporter has started and caught up with the service.
        ASSERT_TRUE(spinUntil([&] {
            std::error_code error;
            for (auto it = fs::recursive_directory_iterator(data, error);
                 !error && it != fs::recursive_directory_iterator(); it.increment(error))
                if (it->path().filename() == "settings.plist") return true;
            return false;
        }));
        ::kill(static_cast<pid_t>(app.processId()), SIGSEGV);
        ASSERT_TRUE(spinUntil([&] { return app.state() == QProcess::NotRunning; }));
        ASSERT_EQ(app.exitStatus(), QProcess::CrashExit);
    }
    bool recorded = false;
    for (const auto& entry : fs::directory_iterator(data))
        recorded |= entry.path().extension() == ".vxmrecord";
    ASSERT_TRUE(recorded) << "the crash left no record";

    QProcess app;
    app.setProcessEnvironment(env);
    QString log;
    QObject::connect(&app, &QProcess::readyReadStandardError,
                     [&] { log += QString::fromUtf8(app.readAllStandardError()); });
    app.start(TESSARO_APP_BINARY, QStringList{});
    ASSERT_TRUE(app.waitForStarted());
    QRect main, alert;
    ASSERT_TRUE(spinUntil([&] {
        main = mainWindowRect();
        if (main.width() < 600) return false;
        for (const QRect& r : smallerWindowsOf(app.processId(), main))
            if (r.intersects(main)) alert = r;
        return !alert.isEmpty();
    })) << "no alert over the main window\n"
        << log.toStdString();

    const QImage shot = stillScreen();
    const std::string png = std::string(TESSARO_BINARY_DIR) + "/app-e2e-report-alert.png";
    shot.save(QString::fromStdString(png), "PNG");
    const QImage box = shot.copy(alert.intersected(shot.rect()));
    ASSERT_GE(box.width(), 250) << "see " << png;
    ASSERT_GE(box.height(), 60) << "see " << png;
    EXPECT_GT(paintedShare(box), 0.9) << "the alert is not painted; see " << png;
    EXPECT_GT(colourCount(box), 3) << "the alert holds no text or buttons; see " << png;
    EXPECT_EQ(reports(), 0u) << "a report left before the answer";

    // Return answers the default button, Send.
    const std::string active = testsupport::commandOutput("xdotool getactivewindow 2>/dev/null");
    testsupport::commandOutput("xdotool key Return");
    EXPECT_TRUE(spinUntil([&] { return reports() == 1; })) << "active window " << active;
    EXPECT_TRUE(spinUntil([&] { return fs::is_empty(data / "prepared"); }));
    EXPECT_EQ(reports(), 1u);

    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(spinUntil([&] { return app.state() == QProcess::NotRunning; }));
    EXPECT_EQ(app.exitCode(), 0) << log.toStdString();
}

// The web client's and the keychain's libraries are opened when first used:
// linked, they and their dependencies were loaded at every start.
TEST(AppBinary, LinksNoLibraryOfALaterFeature) {
    // Everything loaded at start, so that a library reached through another
    // one counts too.
    const std::string loaded = testsupport::commandOutput("ldd " TESSARO_APP_BINARY);
    ASSERT_NE(loaded.find("libQt6Widgets"), std::string::npos) << loaded;
    for (const char* library : {"libcurl", "libsecret", "libgio", "libgobject"})
        EXPECT_EQ(loaded.find(library), std::string::npos) << library << "\n" << loaded;
}

// The launch check asks for an update below the oldest libfuse 3 the program
// runs on: the newest FUSE symbol version it links.
TEST(AppBinary, RequiredFuseVersionIsTheNewestLinked) {
    const std::string symbols = testsupport::commandOutput("objdump -T " TESSARO_APP_BINARY);
    std::string newest;
    int newestMinor = -1;
    for (size_t at = symbols.find("FUSE_3."); at != std::string::npos;
         at = symbols.find("FUSE_3.", at + 1)) {
        size_t end = at + 7;
        while (end < symbols.size() && std::isdigit(static_cast<unsigned char>(symbols[end])))
            ++end;
        const int minor = std::stoi(symbols.substr(at + 7, end - at - 7));
        if (minor > newestMinor) {
            newestMinor = minor;
            newest = symbols.substr(at + 5, end - at - 5);
        }
    }
    ASSERT_GE(newestMinor, 0) << symbols;
    EXPECT_EQ(newest, QVFuseInstaller::kRequiredFuseVersion);
}
