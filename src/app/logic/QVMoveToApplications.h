#pragma once
// The offer to move the application into an Applications folder.
//
// On Linux the counterpart of an application started from a mounted disk
// image is one started from a mounted AppImage: $APPIMAGE names the image
// file, $APPDIR the mount that the running program comes from. Only then is
// the move offered; the image file is what moves, to ~/Applications when that
// already holds an AppImage, else to ~/.local/bin. No widget code here: the
// delegate shows the alerts through QVMoveToApplicationsView.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"

// What the decision looks at; tests fake every piece.
struct QVMoveEnvironment {
    std::optional<std::string> appImagePath;  // $APPIMAGE
    std::optional<std::string> appDir;        // $APPDIR
    std::string executablePath;               // the running program
    std::string mountInfo;                    // text of /proc/self/mountinfo
    std::string homeDirectory;
    std::string downloadsDirectory;  // the XDG download folder
    // access(W_OK) by default; root may write everywhere.
    std::function<bool(const std::string& path)> isWritable;

    static QVMoveEnvironment current();
};

struct QVMoveOffer {
    std::string sourcePath;            // the AppImage file
    std::string destinationDirectory;  // symbolic links resolved
    std::string destinationPath;
    bool inHomeApplications = false;  // ~/Applications rather than ~/.local/bin
    bool needsAuthorization = false;
    bool inDownloads = false;
};

class QVMoveToApplicationsView {
  public:
    virtual ~QVMoveToApplicationsView() = default;
    // The offer: two buttons ("move" first; Escape answers the second) and a
    // suppression check box. `answer(move, suppress)`.
    virtual void showMoveOffer(const std::string& message, const std::string& information,
                               const std::string& moveButton, const std::string& dontMoveButton,
                               std::function<void(bool move, bool suppress)> answer) = 0;
    virtual void showMoveFailure(const std::string& message) = 0;
};

class QVMoveToApplications {
  public:
    static constexpr const char* kSuppressKey = "moveToApplicationsFolderAlertSuppress";
    static constexpr const char* kStringTable = "MoveApplication";

    // Everything the move does to the system, injectable for tests.
    struct System {
        std::function<std::string(const std::string& key, const std::string& table)> localized;
        std::function<bool()> isSuppressed;
        std::function<void()> suppress;
        std::function<std::optional<int>(const std::vector<std::string>& argv)> run;
        std::function<bool(const std::string& path, platform::Error* error)> trash;
        std::function<bool(const std::string& path)> isRunning;
        std::function<void(int status)> exitProcess;

        // The standard defaults, processes, the desktop's trash, exit().
        static System standard();
    };

    QVMoveToApplications(std::shared_ptr<QVMoveToApplicationsView> view,
                         System system = System::standard(),
                         QVMoveEnvironment environment = QVMoveEnvironment::current());

    // The decision: none when the application does not run from a mounted
    // AppImage, already lies in an Applications folder or the user said not
    // to ask again.
    static std::optional<QVMoveOffer> offerFor(const QVMoveEnvironment& environment,
                                               bool suppressed);

    // Runs the offer before launching finishes; false when nothing was shown.
    // Otherwise `answered` runs once the user has answered and the process
    // goes on from here (not moved, or the move failed).
    bool offerToMove(std::function<void()> answered = nullptr);

    // The answer of the offer's alert.
    void userAnswered(bool move, bool suppress);

    // Shell text: `path` in single quotes, each single quote in it as '\''.
    static std::string shellQuoted(const std::string& path);
    // The script that waits for `pid` to end, then starts the moved copy.
    static std::string relaunchScript(pid_t pid, const std::string& destinationPath);
    // True when a process runs a program whose path begins with `path`
    // (looked up in `procRoot`, normally /proc).
    static bool isPathRunning(const std::string& path, const std::string& procRoot = "/proc");

    const std::optional<QVMoveOffer>& offer() const { return offer_; }

  private:
    std::string text(const char* key) const;
    void fail();
    void moveWithAuthorization();
    void moveWithoutAuthorization();
    void relaunchFromDestination();

    std::shared_ptr<QVMoveToApplicationsView> view_;
    System system_;
    QVMoveEnvironment environment_;
    std::optional<QVMoveOffer> offer_;
    std::function<void()> answered_;
    // Lets an answer that comes after this object is gone do nothing.
    std::shared_ptr<QVMoveToApplications*> self_;
};
