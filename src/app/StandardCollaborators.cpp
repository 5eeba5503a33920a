// The collaborators of the real application. Other controllers join here as
// they are built.
#include "app/QVAppDelegate.h"
#include "app/ReporterStart.h"

QVAppDelegate::Collaborators QVAppDelegate::standardCollaborators() {
    Collaborators c;
    c.startCrashReporter = [] { app::startCrashReporter(app::kCrashReporterAPIKey); };
    // CALL POINT (6.102): the move offer of QVMoveToApplicationsController.
    // CALL POINT (6.102): the FUSE check (isFuseInstalled, installedFuseVersion,
    // the update offer); until it is built FUSE counts as missing, so no status
    // menu starts.
    // CALL POINT (6.103): makeStatusMenu creates QVStatusMenuController.
    // CALL POINT (6.107): makeTour creates QVTourController.
    return c;
}
