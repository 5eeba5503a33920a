#include "reporter/sdk/VXMSDKController.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>

#include "platform/core/PathPieces.h"
#include "platform/core/XdgPaths.h"
#include "reporter/VXMHost.h"
#include "reporter/VXMSafe.h"
#include "reporter/sdk/VXMDefaults.h"
#include "reporter/sdk/VXMFileHelpers.h"

#ifndef TESSARO_REPORTER_ENDPOINT
#define TESSARO_REPORTER_ENDPOINT "https://settings.vexmor.invalid"
#endif

namespace {

constexpr const char* kBuildInstanceKey = "vexmor_build_instance_identifier";
constexpr const char* kCachePathComponentKey = "VexmorCachePathComponent";
constexpr const char* kEndpointKey = "VexmorAPIEndpoint";

// The regular files among `entries`; anything else where a record or report
// belongs (a FIFO, a device, a directory) is removed, so that it can never
// block or hold up the queue.
std::vector<std::string> regularFilesOnly(const std::vector<std::string>& entries) {
    std::vector<std::string> files;
    for (const std::string& entry : entries) {
        struct stat info {};
        if (stat(entry.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
            VXMDebugLog("[Vexmor] Removing %s: not a regular file", entry.c_str());
            VXMRemoveItem(entry);
            continue;
        }
        files.push_back(entry);
    }
    return files;
}

// The regular files of `directory`, in listing order; false when it cannot
// be listed.
bool listRegularFiles(const std::string& directory, std::vector<std::string>& files) {
    const bool listed = VXMListDirectory(directory, files);
    files = regularFilesOnly(files);
    return listed;
}

}  // namespace

std::shared_ptr<VXMSDKController> VXMSDKController::create(platform::Clock& clock,
                                                           std::optional<std::string> rootPath) {
    return std::shared_ptr<VXMSDKController>(new VXMSDKController(clock, std::move(rootPath)));
}

VXMSDKController::VXMSDKController(platform::Clock& clock, std::optional<std::string> rootPath)
    : clock_(clock), queue_(platform::DispatchQueue::serial("com.vexmor.submission")) {
    rootPath_ = rootPath ? *rootPath : platform::xdgCacheHome() + "/com.vexmor.data";
    std::string component = VXMDefaults().stringForKey(kCachePathComponentKey).value_or("");
    if (component.empty()) component = bundleIdentifier();
    cachePath_ = rootPath_ + "/" + component;
    auto endpoint = VXMHostCustomEndpoint(VXMExecutableBundleInfo().info);
    if (!endpoint || endpoint->empty()) endpoint = VXMDefaults().stringForKey(kEndpointKey);
    settingsEndpoint_ = endpoint && !endpoint->empty() ? *endpoint : defaultSettingsEndpoint();
}

std::string VXMSDKController::defaultSettingsEndpoint() {
    return TESSARO_REPORTER_ENDPOINT;
}

std::string VXMSDKController::bundleIdentifier() const {
    return VXMExecutableGetBundleIdentifier();
}

std::string VXMSDKController::settingsCachePath() const {
    return cachePath_ + "/" + VXMHashNSString(settingsEndpoint_) + "/settings.plist";
}

bool VXMSDKController::isARejectedError(const std::optional<platform::Error>& error) {
    return error && error->domain == VXMClientErrorDomain && error->code == VXMClientRejected;
}

void VXMSDKController::setPermissionPrompt(std::shared_ptr<VXMPermissionPrompt> prompt) {
    std::lock_guard lock(mutex_);
    prompt_ = std::move(prompt);
}

void VXMSDKController::setDefaultPermissionAnswer(VXMPermissionAnswer answer) {
    std::lock_guard lock(mutex_);
    defaultAnswer_ = answer;
}

std::shared_ptr<const VXMSettings> VXMSDKController::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

int64_t VXMSDKController::retryInterval() const {
    int64_t value = 0;
    queue_->sync([&] { value = retryInterval_; });
    return value;
}

void VXMSDKController::after(int64_t seconds, platform::Task task) {
    platform::dispatchAfter(std::chrono::seconds(seconds), queue_, std::move(task), clock_);
}

bool VXMSDKController::setup() {
    for (const std::string& directory :
         {processingDirectory(), preparedDirectory(), invalidDirectory(), sendableDirectory()}) {
        if (!VXMCreateDirectory(directory)) return false;
    }
    return true;
}

void VXMSDKController::didLoadSettings(std::shared_ptr<const VXMSettings> settings) {
    {
        std::lock_guard lock(mutex_);
        settings_ = settings;
    }
    if (delegate_ && settings) delegate_->controllerDidLoadSettings(*this, settings);
}

// ---- Start-up and settings -------------------------------------------------

void VXMSDKController::beginStartupFlowAfterDelay(double seconds) {
    // Everything from the cached settings on runs on the queue: no file is
    // read on the caller's (the main) thread.
    auto self = shared_from_this();
    queue_->async([self, seconds] {
        self->delay_ = seconds;
        auto cached = VXMSettings::initWithCachePath(self->settingsCachePath());
        if (cached) self->didLoadSettings(cached);
        const bool newBuild =
            VXMDefaults().stringForKey(kBuildInstanceKey).value_or("") !=
            (self->settingsClient_ ? self->settingsClient_->instanceIdentifier() : "");
        const bool load = !cached || VXMDebugMode() || cached->isOutdated(self->clock_.now()) ||
                          !hostCanCacheSettings() || newBuild;
        if (load) {
            self->loadSettings([self] { self->onboardOrStartReportCollection(); });
        } else {
            // Fresh cached settings still answer to the user's opt-out.
            self->startReportCollection();
        }
    });
}

void VXMSDKController::loadSettings(std::function<void()> completion) {
    auto self = shared_from_this();
    queue_->async([self, completion = std::move(completion)] {
        if (self->retrying_) return;
        VXMDebugLog("[Vexmor] Loading settings");
        if (!self->settingsClient_) return;
        self->settingsClient_->loadSettingsWithCompletion(
            [self, completion](std::optional<platform::Value> document,
                               std::optional<platform::Error> error) {
                if (error || !document) {
                    VXMDebugLog("[Vexmor] Failed to load settings");
                    VXMDebugLog("[Vexmor] Settings load scheduled (%lld)",
                                static_cast<long long>(kSettingsRetrySeconds));
                    self->queue_->async([self, completion] {
                        self->retrying_ = true;
                        self->after(kSettingsRetrySeconds, [self, completion] {
                            self->retrying_ = false;
                            self->loadSettings(completion);
                        });
                    });
                    return;
                }
                const std::string instance = self->settingsClient_->instanceIdentifier();
                platform::mainQueue()->async(
                    [instance] { VXMDefaults().setObject(kBuildInstanceKey, instance); });
                self->queue_->async([self, document = std::move(*document), completion] {
                    self->retrying_ = false;
                    self->settingsArrived(document, completion);
                });
            });
    });
}

void VXMSDKController::settingsArrived(const platform::Value& document,
                                       const std::function<void()>& completion) {
    const std::string path = settingsCachePath();
    const auto now = clock_.now();
    std::shared_ptr<const VXMSettings> fresh;
    const std::string parent(platform::parentPath(path));
    if (VXMCreateDirectory(parent.empty() ? "." : parent) &&
        VXMSettings::writeSettings(document, path, now)) {
        fresh = VXMSettings::initWithCachePath(path);
    } else {
        VXMDebugLog("[Vexmor] Could not cache settings to disk");
    }
    // A cache that cannot be written (or read back) costs the cache only:
    // this run goes on with the answer in memory.
    if (!fresh)
        fresh = std::make_shared<const VXMSettings>(path,
                                                    VXMSettings::documentWithExpiry(document, now));
    VXMDebugLog("[Vexmor] Settings loaded");
    didLoadSettings(fresh);
    if (completion) completion();
}

void VXMSDKController::onboardOrStartReportCollection() {
    auto settings = this->settings();
    if (settings && settings->appNeedsOnboarding()) {
        VXMDebugLog("[Vexmor] Application not yet configured");
        configure(true);
        return;
    }
    if (settings && settings->requiresUpdate()) configure(false);
    startReportCollection();
}

void VXMSDKController::configure(bool asNewApp) {
    VXMDebugLog("[Vexmor] Configuring application");
    auto settings = this->settings();
    if (!settingsClient_) return;
    auto self = shared_from_this();
    settingsClient_->configureApplicationUsingURL(
        settings ? settings->appURL() : std::nullopt, asNewApp,
        [self, asNewApp](std::optional<platform::Error> error) {
            if (error) {
                VXMDebugLog("[Vexmor] failed to configure %s", error->description.c_str());
                self->after(kConfigureRetrySeconds,
                            [self, asNewApp] { self->configure(asNewApp); });
                return;
            }
            VXMDebugLog("[Vexmor] Configured application");
            self->loadSettings(nullptr);
        });
}

void VXMSDKController::startReportCollection() {
    if (VXMSettings::userOptedOut()) {
        VXMDebugLog("[Vexmor] Crash report collection disabled by the user");
        removeEveryRecord();
        return;
    }
    auto settings = this->settings();
    if (settings && settings->shouldCollectCrashReports()) {
        startReportingAfterDelay(delay_);
    } else {
        VXMDebugLog("[Vexmor] Crash report collection disabled");
    }
}

void VXMSDKController::startReportingAfterDelay(double seconds) {
    VXMDebugLog("[Vexmor] Starting report processing in %.01f second(s)...", seconds);
    auto self = shared_from_this();
    after(static_cast<int64_t>(std::trunc(std::max(seconds, 0.0))),
          [self] { self->processExistingRecords(false); });
}

void VXMSDKController::removeEveryRecord() {
    std::vector<std::string> entries;
    VXMListDirectory(crashFileDirectory(), entries);
    for (const std::string& entry : entries) {
        const std::string extension = VXMPathExtension(entry);
        if (extension != "vxmrecord" && extension != "vxmlog") continue;
        if (platform::lastComponent(entry).ends_with("session.vxmlog")) continue;
        VXMRemoveItem(entry);
    }
    for (const std::string& directory :
         {processingDirectory(), preparedDirectory(), sendableDirectory(), invalidDirectory(),
          analyticsDirectory()}) {
        VXMListDirectory(directory, entries);
        for (const std::string& entry : entries) VXMRemoveItem(entry);
    }
}

// ---- Processing -------------------------------------------------------------

void VXMSDKController::processExistingRecords(bool skipPermission) {
    std::vector<std::string> entries;
    // A conversion left unfinished by an earlier run counts as invalid.
    listRegularFiles(processingDirectory(), entries);
    for (const std::string& entry : entries) {
        if (VXMMoveItemToDirectory(entry, invalidDirectory()).empty()) {
            VXMDebugLog(
                "[Vexmor] Unable to move preexisting crashes, reporting cannot continue safely.");
            return;
        }
    }

    // Each file moves on its own: one that cannot move stays for the next
    // run and holds up none of the others.
    VXMListDirectory(crashFileDirectory(), entries);
    std::vector<std::string> records;
    for (const std::string& entry : entries) {
        const std::string extension = VXMPathExtension(entry);
        if (extension != "vxmrecord" && extension != "vxmlog") continue;
        if (platform::lastComponent(entry).ends_with("session.vxmlog")) continue;
        records.push_back(entry);
    }
    for (const std::string& entry : regularFilesOnly(records))
        VXMMoveItemToDirectory(entry, processingDirectory());

    listRegularFiles(processingDirectory(), entries);
    for (const std::string& entry : entries) {
        if (VXMPathExtension(entry) != "vxmrecord") continue;
        const std::string report = processRecordFile(entry);
        if (!report.empty()) {
            VXMDebugLog("[Vexmor] Processed file successfully");
            VXMMoveItemToDirectory(report, preparedDirectory());
            continue;
        }
        VXMMoveItemToDirectory(entry, invalidDirectory());
        const std::string log = VXMDeletingPathExtension(entry) + ".vxmlog";
        struct stat info {};
        if (stat(log.c_str(), &info) == 0) VXMMoveItemToDirectory(log, invalidDirectory());
    }

    // Unconvertible records hold the user's identity and log lines as much
    // as reports do: they wait for the same answer.
    auto settings = this->settings();
    const bool ask = settings && settings->shouldRequestPermissionToSubmit() && !skipPermission &&
                     !VXMHostIsAppExtension();
    std::vector<std::string> invalid;
    listRegularFiles(preparedDirectory(), entries);
    listRegularFiles(invalidDirectory(), invalid);
    if (ask && (!entries.empty() || !invalid.empty())) {
        displayPermissionAlert();
        return;
    }
    submitInvalidFiles();
    if (entries.empty()) {
        VXMDebugLog("[Vexmor] No prepared files found, submission process complete");
        // Reports cleared for upload earlier (a failed upload, a quit during
        // the upload) still go out.
        submitFiles();
        return;
    }
    submitReportsSettingAlwaysFlag(false);
}

std::string VXMSDKController::processRecordFile(const std::string& path) {
    if (!ensureReasonableFileAtPath(path)) {
        VXMDebugLog("[Vexmor] Unable to safely read file at %s", path.c_str());
        return {};
    }
    const std::string base = VXMDeletingPathExtension(path);
    VXMCrashFile file(path);
    if (!file.isValid()) {
        VXMDebugLog("[Vexmor] Unable to process vxmrecord file");
        return {};
    }
    if (delegate_) delegate_->controllerWillProcessFile(*this, file);
    const std::string report = base + ".vxm";
    if (!file.writeVXMFileToPath(report)) {
        VXMDebugLog("[Vexmor] Unable to write vxm file");
        unlink(report.c_str());
        return {};
    }
    unlink((base + ".vxmlog").c_str());
    unlink(path.c_str());
    return report;
}

bool VXMSDKController::ensureReasonableFileAtPath(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        VXMDebugLog("[Vexmor] Could not get file attributes for %s %s", path.c_str(),
                    strerror(errno));
        return false;
    }
    const auto size = static_cast<uint64_t>(info.st_size);
    if (size <= kMaximumFileSize) return true;
    VXMDebugLog("[Vexmor] File too large to submit %s", path.c_str());
    const std::string marker = "Original file size: " + std::to_string(size) + "\n";
    platform::Error error;
    // Written beside and renamed over: the file is never missing.
    if (!VXMWriteFileAtomically(path, marker, &error)) {
        VXMDebugLog("[Vexmor] Unable to write large file marker at %s %s", path.c_str(),
                    error.description.c_str());
        return false;
    }
    return true;
}

// ---- Permission ---------------------------------------------------------------

void VXMSDKController::displayPermissionAlert() {
    if (VXMHostIsAppExtension()) {
        submitReportsSettingAlwaysFlag(false);
        return;
    }
    if (awaitingPermission_) return;
    auto settings = this->settings();
    VXMPermissionRequest request;
    request.title = settings->interactivePromptTitle();
    request.message = settings->interactivePromptMessage();
    request.cancelTitle = settings->interactivePromptCancelTitle();
    request.sendTitle = settings->interactivePromptSendTitle();
    if (settings->shouldIncludeInteractiveAlwaysSendOption())
        request.alwaysSendTitle = settings->interactivePromptAlwaysSendTitle();
    VXMDebugLog("[Vexmor] Displaying permission alert");

    std::shared_ptr<VXMPermissionPrompt> prompt;
    VXMPermissionAnswer fallback;
    {
        std::lock_guard lock(mutex_);
        prompt = prompt_;
        fallback = defaultAnswer_;
    }
    if (!prompt) {
        answerPermission(fallback);
        return;
    }
    awaitingPermission_ = true;
    auto self = shared_from_this();
    platform::mainQueue()->async([self, prompt, request] {
        prompt->askPermission(request, [self](VXMPermissionAnswer answer) {
            self->queue_->async([self, answer] {
                self->awaitingPermission_ = false;
                self->answerPermission(answer);
            });
        });
    });
}

void VXMSDKController::answerPermission(VXMPermissionAnswer answer) {
    switch (answer) {
        case VXMPermissionAnswer::DontSend:
            ignoreReports();
            break;
        case VXMPermissionAnswer::AlwaysSend:
            submitReportsSettingAlwaysFlag(true);
            break;
        case VXMPermissionAnswer::Send:
            submitReportsSettingAlwaysFlag(false);
            break;
    }
}

void VXMSDKController::submitReportsSettingAlwaysFlag(bool always) {
    if (always) VXMSettings::setUserDesiresReportsAlwaysBeSent(true);
    std::vector<std::string> entries;
    VXMListDirectory(preparedDirectory(), entries);
    bool moved = true;
    for (const std::string& entry : entries)
        moved &= !VXMMoveItemToDirectory(entry, sendableDirectory()).empty();
    if (!moved) VXMDebugLog("[Vexmor] Unable to move processed crashes to outbox");
    submitInvalidFiles();
    submitFiles();
}

void VXMSDKController::ignoreReports() {
    VXMDebugLog("[Vexmor] Ignoring Reports");
    std::vector<std::string> entries;
    for (const std::string& directory :
         {preparedDirectory(), sendableDirectory(), invalidDirectory()}) {
        VXMListDirectory(directory, entries);
        for (const std::string& entry : entries) VXMRemoveItem(entry);
    }
}

// ---- Submission ------------------------------------------------------------------

void VXMSDKController::submitFiles() {
    // One chain at a time, so no report is ever sent twice at once.
    if (submitting_) return;
    submitting_ = true;
    submitNextFile();
}

void VXMSDKController::submitNextFile() {
    std::vector<std::string> entries;
    if (!listRegularFiles(sendableDirectory(), entries)) {
        VXMDebugLog("[Vexmor] Unable to get sendable files");
        submitting_ = false;
        return;
    }
    if (entries.empty()) {
        VXMDebugLog("[Vexmor] No sendable files, submission process complete");
        submitting_ = false;
        auto self = shared_from_this();
        platform::mainQueue()->async([self] {
            if (self->delegate_) self->delegate_->controllerCompletedSubmissions(*self);
        });
        return;
    }
    VXMDebugLog("[Vexmor] Submitting files");
    const std::string file = entries.front();
    auto self = shared_from_this();
    if (!ensureReasonableFileAtPath(file)) {
        VXMDebugLog("[Vexmor] Submission retry scheduled (%lld)",
                    static_cast<long long>(retryInterval_));
        after(retryInterval_, [self] {
            self->retryInterval_ = std::min(self->retryInterval_ * 2, kMaximumRetryInterval);
            self->submitNextFile();
        });
        return;
    }
    auto settings = this->settings();
    if (!settingsClient_) {
        submitting_ = false;
        return;
    }
    settingsClient_->submitVXMFileAtPath(
        file, settings ? settings->reportsURL() : std::nullopt,
        [self, file](std::optional<platform::Error> error) {
            self->queue_->async([self, file, error] { self->submissionFinished(file, error); });
        });
}

void VXMSDKController::submissionFinished(const std::string& path,
                                          const std::optional<platform::Error>& error) {
    auto self = shared_from_this();
    if (!error) {
        retryInterval_ = kInitialRetryInterval;
        VXMDebugLog("[Vexmor] Submitted file successfully");
        if (VXMRemoveItem(path)) {
            submitNextFile();
        } else {
            submitting_ = false;
        }
        return;
    }
    if (isARejectedError(error)) {
        VXMDebugLog("[Vexmor] Submission rejected");
        // A report that cannot leave sendable/ would be offered again at once.
        if (VXMMoveItemToDirectory(path, invalidDirectory()).empty()) {
            submitting_ = false;
            return;
        }
        submitNextFile();
        return;
    }
    VXMDebugLog("[Vexmor] Submission retry scheduled (%lld)",
                static_cast<long long>(retryInterval_));
    after(retryInterval_, [self] {
        self->retryInterval_ = std::min(self->retryInterval_ * 2, kMaximumRetryInterval);
        self->submitting_ = false;
        self->loadSettings([self] { self->startReportCollection(); });
    });
}

void VXMSDKController::submitInvalidFiles() {
    if (submittingInvalid_) return;
    submittingInvalid_ = true;
    submitNextInvalidFile();
}

void VXMSDKController::submitNextInvalidFile() {
    std::vector<std::string> entries;
    listRegularFiles(invalidDirectory(), entries);
    if (entries.empty()) {
        VXMDebugLog("[Vexmor] Alternate file submission complete");
        submittingInvalid_ = false;
        return;
    }
    VXMDebugLog("[Vexmor] Submitting alternate files");
    const std::string file = entries.front();
    auto self = shared_from_this();
    auto retryLater = [self] {
        VXMDebugLog("[Vexmor] Alternate submission retry scheduled (%lld)",
                    static_cast<long long>(kInvalidRetrySeconds));
        self->after(kInvalidRetrySeconds, [self] { self->submitNextInvalidFile(); });
    };
    if (!ensureReasonableFileAtPath(file)) {
        retryLater();
        return;
    }
    auto settings = this->settings();
    if (!settingsClient_) {
        submittingInvalid_ = false;
        return;
    }
    settingsClient_->submitInvalidRecordAtPath(
        file, settings ? settings->reportsURL() : std::nullopt,
        [self, file, retryLater](std::optional<platform::Error> error) {
            self->queue_->async([self, file, error, retryLater] {
                if (error && !isARejectedError(error)) {
                    retryLater();
                    return;
                }
                if (error) {
                    VXMDebugLog("[Vexmor] Alternate file rejected by server, giving up");
                } else {
                    VXMDebugLog("[Vexmor] Submitted alternate file successfully");
                }
                if (VXMRemoveItem(file)) {
                    self->submitNextInvalidFile();
                } else {
                    self->submittingInvalid_ = false;
                }
            });
        });
}
