#include "app/logic/QVMoveToApplications.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "Logging/LGLog.h"
#include "platform/core/Console.h"
#include "platform/core/Files.h"
#include "platform/core/MountTable.h"
#include "platform/core/PathPieces.h"
#include "platform/core/Process.h"
#include "platform/core/UserDefaults.h"
#include "platform/core/XdgPaths.h"
#include "platform/desktop/Trash.h"
#include "platform/gui/StringTable.h"

namespace fs = std::filesystem;

namespace {

std::string readWholeFile(const std::string& path) {
    return platform::readRegularFile(path).value_or(std::string());
}

// `path` is `dir` or lies below it, compared by whole components.
bool isWithin(const fs::path& path, const fs::path& dir) {
    return platform::liesWithin(path.lexically_normal().string(), dir.lexically_normal().string());
}

bool isWithinResolved(const fs::path& path, const fs::path& dir) {
    std::error_code ec;
    return isWithin(path, dir) ||
           isWithin(fs::weakly_canonical(path, ec), fs::weakly_canonical(dir, ec));
}

bool holdsAppImage(const fs::path& dir) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string ext = it->path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        if (ext == ".appimage") return true;
    }
    return false;
}

bool isDirectory(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec);
}

bool sameContents(const std::string& a, const std::string& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y) return false;
    char bx[65536], by[65536];
    for (;;) {
        x.read(bx, sizeof bx);
        y.read(by, sizeof by);
        if (x.gcount() != y.gcount() || std::memcmp(bx, by, static_cast<size_t>(x.gcount())) != 0)
            return false;
        if (!x || !y) return x.eof() && y.eof();
    }
}

bool isWritable(const QVMoveEnvironment& env, const std::string& path) {
    return env.isWritable ? env.isWritable(path) : access(path.c_str(), W_OK) == 0;
}

// A missing folder is writable when the nearest folder above it is.
bool isWritableDirectory(const QVMoveEnvironment& env, fs::path dir) {
    std::error_code ec;
    while (!fs::exists(dir, ec) && dir.has_relative_path()) dir = dir.parent_path();
    return isWritable(env, dir.string());
}

bool endsWithAppImage(const std::string& path) {
    static const std::string suffix = ".appimage";
    if (path.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), path.end() - suffix.size(),
                      [](char a, char b) { return a == ::tolower(static_cast<unsigned char>(b)); });
}

std::string xdgDownloadsDirectory(const std::string& home) {
    // XDG_DOWNLOAD_DIR="$HOME/Downloads" in user-dirs.dirs
    std::istringstream lines(readWholeFile(platform::xdgConfigHome() + "/user-dirs.dirs"));
    std::string line;
    const std::string key = "XDG_DOWNLOAD_DIR=\"";
    while (std::getline(lines, line)) {
        if (line.rfind(key, 0) != 0) continue;
        std::string value = line.substr(key.size());
        if (auto q = value.rfind('"'); q != std::string::npos) value.resize(q);
        if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
        if (!value.empty() && value[0] == '/') return value;
    }
    return home + "/Downloads";
}

}  // namespace

QVMoveEnvironment QVMoveEnvironment::current() {
    QVMoveEnvironment env;
    if (const char* v = std::getenv("APPIMAGE"); v && *v) env.appImagePath = v;
    if (const char* v = std::getenv("APPDIR"); v && *v) env.appDir = v;
    std::error_code ec;
    env.executablePath = fs::read_symlink("/proc/self/exe", ec).string();
    env.mountInfo = readWholeFile("/proc/self/mountinfo");
    env.homeDirectory = platform::homeDirectory();
    env.downloadsDirectory = xdgDownloadsDirectory(env.homeDirectory);
    return env;
}

QVMoveToApplications::System QVMoveToApplications::System::standard() {
    System s;
    s.localized = [](const std::string& key, const std::string& table) {
        return platform::localizedString(key, table);
    };
    s.isSuppressed = [] { return platform::UserDefaults::standard().boolForKey(kSuppressKey); };
    s.suppress = [] { platform::UserDefaults::standard().setObject(kSuppressKey, true); };
    s.run = [](const std::vector<std::string>& argv) { return platform::runProcess(argv); };
    s.trash = [](const std::string& path, platform::Error* error) {
        return platform::moveToTrash(path, error);
    };
    s.isRunning = [](const std::string& path) { return isPathRunning(path); };
    s.exitProcess = [](int status) {
        LGLog::applicationWillTerminate();
        std::exit(status);
    };
    return s;
}

QVMoveToApplications::QVMoveToApplications(std::shared_ptr<QVMoveToApplicationsView> view,
                                           System system, QVMoveEnvironment environment)
    : view_(std::move(view)),
      system_(std::move(system)),
      environment_(std::move(environment)),
      self_(std::make_shared<QVMoveToApplications*>(this)) {}

std::optional<QVMoveOffer> QVMoveToApplications::offerFor(const QVMoveEnvironment& env,
                                                          bool suppressed) {
    if (suppressed || !env.appImagePath || env.appImagePath->empty()) return std::nullopt;
    const fs::path source = *env.appImagePath;
    struct stat st {};
    if (stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

    // Already in an Applications folder.
    const fs::path home = env.homeDirectory;
    const fs::path userApplications = home / "Applications";
    const fs::path localBin = home / ".local" / "bin";
    if (isWithinResolved(source, userApplications) || isWithinResolved(source, localBin))
        return std::nullopt;
    for (const auto& component : source)
        if (component == "Applications") return std::nullopt;

    // Running from the image's mount, which is not the root file system.
    if (!env.appDir || env.appDir->empty()) return std::nullopt;
    const fs::path appDir = fs::path(*env.appDir).lexically_normal();
    if (appDir == "/" || !isWithin(env.executablePath, appDir)) return std::nullopt;
    const auto mounts = platform::parseMountInfo(env.mountInfo);
    if (std::find_if(mounts.begin(), mounts.end(), [&](const platform::MountEntry& m) {
            return fs::path(m.point).lexically_normal() == appDir;
        }) == mounts.end())
        return std::nullopt;

    QVMoveOffer offer;
    offer.sourcePath = source.string();
    fs::path dir = localBin;
    if (isDirectory(userApplications) && holdsAppImage(userApplications)) {
        dir = userApplications;
        offer.inHomeApplications = true;
    }
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(dir, ec);
    if (!ec) dir = resolved;
    offer.destinationDirectory = dir.string();
    offer.destinationPath = (dir / source.filename()).string();
    offer.needsAuthorization =
        !isWritableDirectory(env, dir) ||
        (fs::exists(offer.destinationPath, ec) && !isWritable(env, offer.destinationPath));
    offer.inDownloads =
        !env.downloadsDirectory.empty() && isWithinResolved(source, env.downloadsDirectory);
    return offer;
}

std::string QVMoveToApplications::text(const char* key) const {
    return system_.localized ? system_.localized(key, kStringTable) : key;
}

bool QVMoveToApplications::offerToMove(std::function<void()> answered) {
    offer_ = offerFor(environment_, system_.isSuppressed && system_.isSuppressed());
    if (!offer_) return false;
    answered_ = std::move(answered);
    std::string information = text("I can move myself to the Applications folder if you'd like.");
    if (offer_->needsAuthorization)
        information += " " + text("Note that this will require an administrator password.");
    else if (offer_->inDownloads)
        information += " " + text("This will keep your Downloads folder uncluttered.");
    view_->showMoveOffer(
        text(offer_->inHomeApplications ? "Move to Applications folder in your Home folder?"
                                        : "Move to Applications folder?"),
        information, text("Move to Applications Folder"), text("Do Not Move"),
        [weak = std::weak_ptr<QVMoveToApplications*>(self_)](bool move, bool suppress) {
            if (auto self = weak.lock()) (*self)->userAnswered(move, suppress);
        });
    return true;
}

void QVMoveToApplications::userAnswered(bool move, bool suppress) {
    if (!offer_) return;
    if (!move) {
        if (suppress && system_.suppress) system_.suppress();
    } else {
        platform::consoleLog("INFO -- Moving myself to the Applications folder");
        if (offer_->needsAuthorization)
            moveWithAuthorization();
        else
            moveWithoutAuthorization();
    }
    // Still here: not moved (a move that worked has ended the process), so
    // the start goes on.
    if (auto answered = std::exchange(answered_, nullptr)) answered();
}

void QVMoveToApplications::fail() {
    view_->showMoveFailure(text("Could not move to Applications folder"));
}

void QVMoveToApplications::moveWithAuthorization() {
    const auto& dest = offer_->destinationPath;
    const auto& source = offer_->sourcePath;
    // rm -rf as root: only ever on a path that names an AppImage.
    if (dest.empty() || source.empty() || !endsWithAppImage(dest)) {
        platform::consoleLog("ERROR -- Could not copy myself to /Applications with authorization");
        fail();
        return;
    }
    // A move: the original goes once the copy is complete and the same.
    const std::string script = "/bin/mkdir -p " + shellQuoted(offer_->destinationDirectory) +
                               " && /bin/rm -rf " + shellQuoted(dest) + " && /bin/cp -p " +
                               shellQuoted(source) + " " + shellQuoted(dest) +
                               " && /usr/bin/cmp -s " + shellQuoted(source) + " " +
                               shellQuoted(dest) + " && /bin/rm -f " + shellQuoted(source);
    const auto status = system_.run({"pkexec", "/bin/sh", "-c", script});
    // pkexec answers 126 when the user dismissed the authentication dialog.
    if (status && *status == 126) {
        platform::consoleLog("INFO -- Not moving because user canceled authorization");
        return;
    }
    if (!status || *status != 0) {
        platform::consoleLog("ERROR -- Could not copy myself to /Applications with authorization");
        fail();
        return;
    }
    relaunchFromDestination();
}

void QVMoveToApplications::moveWithoutAuthorization() {
    const auto& dest = offer_->destinationPath;
    const auto& source = offer_->sourcePath;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(dest, ec))) {
        if (system_.isRunning && system_.isRunning(dest)) {
            platform::consoleLog("INFO -- Switching to an already running version");
            system_.run({"/bin/sh", "-c", shellQuoted(dest) + " >/dev/null 2>&1 &"});
            system_.exitProcess(0);
            return;
        }
        platform::Error error;
        if (!system_.trash(dest, &error)) {
            platform::consoleLog("ERROR -- Could not trash '%s'", dest.c_str());
            fail();
            return;
        }
    }
    fs::create_directories(offer_->destinationDirectory, ec);
    if (!fs::copy_file(source, dest, fs::copy_options::overwrite_existing, ec)) {
        platform::consoleLog("ERROR -- Could not copy '%s' to '%s' (%s)", source.c_str(),
                             dest.c_str(), ec.message().c_str());
        platform::consoleLog("ERROR -- Could not copy myself to %s", dest.c_str());
        fail();
        return;
    }
    fs::permissions(dest, fs::perms::owner_exec, fs::perm_options::add, ec);
    // A move, as the offer says: the original goes, but only once the copy
    // is complete and the same (a full disk may have cut it short).
    if (!sameContents(source, dest)) {
        platform::consoleLog("ERROR -- Could not copy '%s' to '%s' (%s)", source.c_str(),
                             dest.c_str(), "the copy differs from the original");
        platform::consoleLog("ERROR -- Could not copy myself to %s", dest.c_str());
        fs::remove(dest, ec);
        fail();
        return;
    }
    if (!fs::remove(source, ec))
        platform::consoleLog("ERROR -- Could not remove '%s' (%s)", source.c_str(),
                             ec.message().c_str());
    relaunchFromDestination();
}

void QVMoveToApplications::relaunchFromDestination() {
    system_.run({"/bin/sh", "-c", relaunchScript(getpid(), offer_->destinationPath)});
    system_.exitProcess(0);
}

std::string QVMoveToApplications::shellQuoted(const std::string& path) {
    std::string out = "'";
    for (char c : path) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string QVMoveToApplications::relaunchScript(pid_t pid, const std::string& destinationPath) {
    // POSIX redirections: /bin/sh is dash here, which refuses ">&/dev/null".
    return "(while kill -0 " + std::to_string(pid) + " >/dev/null 2>&1; do sleep 0.1; done; exec " +
           shellQuoted(destinationPath) + ") &";
}

bool QVMoveToApplications::isPathRunning(const std::string& path, const std::string& procRoot) {
    for (pid_t pid : platform::runningProcessIds(procRoot)) {
        std::error_code ec;
        const auto exe =
            fs::read_symlink(procRoot + "/" + std::to_string(pid) + "/exe", ec).string();
        if (!ec && exe.rfind(path, 0) == 0) return true;
    }
    return false;
}
