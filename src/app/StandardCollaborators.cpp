// The collaborators of the real application. Other controllers join here as
// they are built.
#include <memory>

#include "app/QVAppDelegate.h"
#include "app/QVTourWindow.h"
#include "app/ReporterStart.h"
#include "platform/gui/StringTable.h"

namespace {

std::string localized(const std::string& key) {
    return platform::localizedString(key);
}

class Tour : public QVTourInterface {
  public:
    Tour() : controller_(makeTourController(localized)) {}
    void show() override { controller_->show(); }

  private:
    std::unique_ptr<QVTourController> controller_;
};

}  // namespace

QVAppDelegate::Collaborators QVAppDelegate::standardCollaborators() {
    Collaborators c;
    c.startCrashReporter = [] { app::startCrashReporter(app::kCrashReporterAPIKey); };
    // CALL POINT (6.102): the move offer of QVMoveToApplicationsController.
    // CALL POINT (6.102): the FUSE check (isFuseInstalled, installedFuseVersion,
    // the update offer); until it is built FUSE counts as missing, so no status
    // menu starts.
    // CALL POINT (6.103): makeStatusMenu creates QVStatusMenuController.
    c.makeTour = [] { return std::make_shared<Tour>(); };
    return c;
}
