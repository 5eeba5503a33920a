#include "app/startup/ReporterStart.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "app/AppResources.h"
#include "platform/core/Console.h"
#include "reporter/VXMHost.h"
#include "reporter/sdk/Vexmor.h"

// After the reporter's headers: Qt's keyword macros would rewrite them.
#include <QApplication>
#include <QMainWindow>

#include "app/AppIcon.h"
#include "platform/gui/Alert.h"

namespace app {

namespace {
std::atomic<int> gStarts{0};
std::mutex gKeyMutex;
std::string gKey;
constexpr int kIconSize = 256;
std::mutex gIconMutex;
std::vector<uint8_t> gIconPNG;

QWidget* shownMainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<QMainWindow*>(widget) && widget->isVisible()) return widget;
    return nullptr;
}

class PermissionAlert : public VXMPermissionPrompt {
  public:
    void askPermission(const VXMPermissionRequest& request,
                       std::function<void(VXMPermissionAnswer)> answer) override {
        platform::Alert alert;
        alert.messageText = request.title;
        alert.informativeText = request.message;
        alert.style = platform::Alert::Style::Informational;
        std::vector<VXMPermissionAnswer> answers;
        alert.buttons.push_back(request.sendTitle);
        answers.push_back(VXMPermissionAnswer::Send);
        if (request.alwaysSendTitle) {
            alert.buttons.push_back(*request.alwaysSendTitle);
            answers.push_back(VXMPermissionAnswer::AlwaysSend);
        }
        alert.buttons.push_back(request.cancelTitle);
        answers.push_back(VXMPermissionAnswer::DontSend);
        alert.escapeButton = static_cast<int>(answers.size()) - 1;
        alert.open(shownMainWindow(), [answers, answer = std::move(answer)](int response, bool) {
            const size_t index = static_cast<size_t>(response - platform::Alert::kFirstButton);
            answer(index < answers.size() ? answers[index] : VXMPermissionAnswer::DontSend);
        });
    }
};

}  // namespace

std::shared_ptr<VXMPermissionPrompt> crashReportPermissionPrompt() {
    return std::make_shared<PermissionAlert>();
}

void startCrashReporter(const std::string& apiKey) {
    {
        std::lock_guard lock(gKeyMutex);
        gKey = apiKey;
    }
    ++gStarts;
    // What a bundle's information dictionary would tell the reporter.
    VXMBundleInfo bundle;
    bundle.identifier = "com.norvane.tessaro";
    bundle.version = kBuildNumber;
    bundle.shortVersion = kVersion;
    bundle.name = "Tessaro";
    VXMExecutableSetBundleInfo(bundle);
    // The first settings request carries the icon's hash, so it is drawn
    // here, on the main thread, before the reporter starts: Qt drawing on a
    // reporter thread could race the exit's clean-up.
    {
        const QByteArray png = applicationIconPNG(kIconSize);
        std::lock_guard lock(gIconMutex);
        gIconPNG.assign(png.begin(), png.end());
    }
    Vexmor::sharedInstance().setAppIconRenderer([]() -> std::optional<VXMIconImage> {
        std::lock_guard lock(gIconMutex);
        if (gIconPNG.empty()) return std::nullopt;
        return VXMIconImage{gIconPNG, kIconSize, kIconSize};
    });
    Vexmor::sharedInstance().setPermissionPrompt(crashReportPermissionPrompt());
    platform::Error error;
    if (!Vexmor::startWithAPIKey(apiKey, nullptr, 1.0, Vexmor::defaultEnvironment(), &error))
        platform::consoleLog("Crash reporter > start > %s", error.description.c_str());
}

int crashReporterStartCount() {
    return gStarts;
}

std::string crashReporterStartKey() {
    std::lock_guard lock(gKeyMutex);
    return gKey;
}

}  // namespace app
