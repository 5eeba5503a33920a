// Starts the real Tessaro on a virtual X server with a window manager and a
// folder it cannot open, takes a screenshot and checks that it shows the main
// window with the folder in its sidebar and the alert whole over it, hands it two more requests
// from second starts, and quits it with SIGTERM.

#include <gtest/gtest.h>
#include <signal.h>

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
#include <sstream>
#include <string>
#include <vector>

#include "app/logic/QVFuseInstaller.h"
#include "support/QtSpin.h"
#include "support/TempDir.h"

using testsupport::spinUntil;

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

std::string mounts() {
    std::ifstream in("/proc/self/mounts");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(AppEndToEnd, StartsShowsItsWindowAndQuits) {
    ASSERT_NE(qgetenv("DISPLAY"), QByteArray()) << "run through xvfb-run";
    int argc = 1;
    char name[] = "test_app_e2e";
    char* argv[] = {name, nullptr};
    // This process grabs the X screen that the program draws on; on the
    // test services' offscreen platform it would only see its own empty one.
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication qt(argc, argv);
    // A window manager, as a desktop has: it frames and places the windows,
    // and stacks an alert over the window it belongs to.
    QProcess wm;
    wm.start("openbox", {"--sm-disable"});
    ASSERT_TRUE(wm.waitForStarted()) << "openbox is not installed (scripts/install-deps)";
    ASSERT_TRUE(spinUntil([] {
        return testsupport::commandOutput("xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null")
                   .find("window id") != std::string::npos;
    })) << "the window manager did not start";
    struct StopWm {
        QProcess& p;
        ~StopWm() {
            p.terminate();
            p.waitForFinished(3000);
        }
    } stopWm{wm};

    testsupport::TempDir dir("tessaro-e2e");
    for (const char* folder : {"Vault.zel", "Second.zel"}) {
        std::filesystem::create_directory(dir / folder);
        testsupport::writeFile(dir / folder / "_QXCFG.MOX", "x");
    }
    testsupport::writeFile(dir / "plain.txt", "not a folder");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    for (const char* v :
         {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_STATE_HOME", "XDG_CACHE_HOME"}) {
        std::filesystem::create_directory(dir / v);
        env.insert(v, QString::fromStdString((dir / v).string()));
    }

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
