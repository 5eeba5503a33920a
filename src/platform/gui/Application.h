#pragma once
// The application object over Qt Widgets: one per process, created first
// thing in main on the main thread. It owns the QApplication, hands every
// main-queue task to the Qt event loop, and tells its delegate about
// launching, open requests, reopening, the last window closing and quitting.
//
//   platform::Application app(argc, argv);
//   app.setDelegate(&delegate);
//   return app.run();     // launching, the command line's paths, the event loop

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QApplication;
class QWidget;

namespace platform {

// What the application shows of itself: 0 regular (main window, taskbar and
// tray), 1 accessory (windows on request, tray), 2 prohibited (tray only).
// The value is stored; the application's controllers branch on it.
enum class ActivationPolicy { Regular = 0, Accessory = 1, Prohibited = 2 };

enum class TerminateReply { Cancel = 0, Now = 1, Later = 2 };

// Answers of an open request.
inline constexpr int kOpenRequestSuccess = 0;
inline constexpr int kOpenRequestFailure = 2;
// An open request that a later action answers (or nobody does).
inline constexpr int kOpenRequestNoReply = -1;

class ApplicationDelegate {
  public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationWillFinishLaunching() {}
    virtual void applicationDidFinishLaunching() {}
    // Paths given on the command line or by a second start of the program.
    virtual int openFiles(const std::vector<std::string>& paths) { return kOpenRequestFailure; }
    // A second start of the program without paths.
    virtual bool applicationShouldHandleReopen(bool hasVisibleWindows) { return true; }
    virtual bool applicationShouldTerminateAfterLastWindowClosed() { return false; }
    // Later: the delegate calls replyToApplicationShouldTerminate itself.
    virtual TerminateReply applicationShouldTerminate() { return TerminateReply::Now; }
    virtual void applicationWillTerminate() {}
};

class Application {
  public:
    Application(int& argc, char** argv);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The one instance, or nullptr.
    static Application* shared();
    QApplication& qt();

    // Non-owning; set before run().
    void setDelegate(ApplicationDelegate* delegate);
    ApplicationDelegate* delegate() const;

    // Will-finish and did-finish launching, the command line's paths as an
    // open request, then the event loop. Returns the exit status.
    int run();
    // Launching alone (tests drive the event loop themselves).
    void finishLaunching(const std::vector<std::string>& paths);

    // Asks the delegate, then quits the event loop unless it cancels or
    // answers later. Safe from inside any event handler.
    void terminate();
    void replyToApplicationShouldTerminate(bool shouldTerminate);
    bool isTerminating() const;

    ActivationPolicy activationPolicy() const;
    void setActivationPolicy(ActivationPolicy policy);
    // Called on the main thread after every change.
    void setActivationPolicyObserver(std::function<void(ActivationPolicy)> observer);

    // A visible top-level window that is not a tool tip or popup.
    bool hasVisibleWindows() const;

    // Other starts of the program hand their paths (or a reopen) to the
    // first one over a local socket in the runtime directory. False when
    // another instance took the request; `replyCode` is its answer.
    bool becomeFirstInstance(const std::vector<std::string>& paths, int* replyCode);

    // The command line's paths (arguments that are not options), absolute.
    static std::vector<std::string> pathsFromArguments(int argc, char** argv);

  private:
    void acceptRequests();
    void readRequest(uint64_t client);
    void dropClient(uint64_t client);

    struct Impl;
    std::unique_ptr<Impl> d_;
};

// Runs `f`, logging and swallowing any exception: for code called from Qt
// event handlers and C callbacks, where none may escape.
void runGuarded(const char* what, const std::function<void()>& f);

}  // namespace platform
