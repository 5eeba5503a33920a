#pragma once
// The application's one call into the crash reporter, made once when
// launching has finished.

#include <memory>
#include <string>

class VXMPermissionPrompt;

namespace app {

// The application's API key of the crash reporter.
inline constexpr const char* kCrashReporterAPIKey = "3f9c1e7a0b5d2486c1e9f0a7d3b6524e8c1a9f07";

void startCrashReporter(const std::string& apiKey);

// The alert that asks before reports are sent: window-modal on the main
// window when one is shown, else a window of its own. Escape answers
// Don't Send.
std::shared_ptr<VXMPermissionPrompt> crashReportPermissionPrompt();

// How often startCrashReporter ran and with which key (tests).
int crashReporterStartCount();
std::string crashReporterStartKey();

}  // namespace app
