#include "reporter/sdk/Vexmor.h"

#include <openssl/crypto.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/core/Console.h"
#include "reporter/VXMHost.h"
#include "reporter/VXMMachException.h"
#include "reporter/VXMSafe.h"
#include "reporter/VXMSignal.h"
#include "reporter/analytics/VXMAnalyticsMetadata.h"
#include "reporter/sdk/VXMDefaults.h"
#include "reporter/sdk/VXMUUID.h"

namespace {

constexpr const char* kInstallEventKey = VXMAnalyticsInstallEventKey;

// The reporter's queues may still be hashing when the application exits;
// OpenSSL's exit-time clean-up would free its tables under them. This has to
// be the process's first use of OpenSSL, hence at load time.
[[maybe_unused]] const bool openSSLStaysUp = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);

// The instance whose settings bound the log ring and the custom keys.
std::atomic<Vexmor*> loggingOwner{nullptr};

// The two start-up messages that are printed whatever the debug flag says.
void printAlways(const std::string& text) {
    platform::consoleLogText(text);
    syslog(LOG_NOTICE, "%s", text.c_str());
}

std::string numberText(const platform::Value& value) {
    if (value.isInteger())
        return value.isUnsignedInteger() ? std::to_string(value.uint64Value())
                                         : std::to_string(value.int64Value());
    char text[64];
    snprintf(text, sizeof text, "%g", value.doubleValue());
    return text;
}

}  // namespace

Vexmor& Vexmor::sharedInstance() {
    static Vexmor* instance = new Vexmor(Options{});
    return *instance;
}

Vexmor::Vexmor(Options options)
    : options_(std::move(options)),
      clock_(options_.clock ? *options_.clock : platform::systemClock()) {}

Vexmor::~Vexmor() {
    if (queue_) queue_->sync([] {});
    setDelegate(nullptr);
    if (thirtySecondTimer_) thirtySecondTimer_->cancel();
    if (conversionTimer_) conversionTimer_->cancel();
    // Its uploads go through our settings client: let running passes end.
    if (analyticsController_) analyticsController_->drain();
    Vexmor* self = this;
    loggingOwner.compare_exchange_strong(self, nullptr);
}

// ---- Start ------------------------------------------------------------------

VXMEnvironment Vexmor::defaultEnvironment() {
    VXMEnvironment environment;
    environment.configuration = "unknown";
    environment.compiler = "unknown";
    return environment;
}

Vexmor* Vexmor::startWithAPIKey(const std::string& apiKey) {
    return startWithAPIKey(apiKey, nullptr, 1.0, defaultEnvironment());
}

Vexmor* Vexmor::startWithAPIKeyAfterDelay(const std::string& apiKey, double delay) {
    return startWithAPIKey(apiKey, nullptr, delay, defaultEnvironment());
}

Vexmor* Vexmor::startWithAPIKey(const std::string& apiKey, VexmorDelegate* delegate) {
    return startWithAPIKey(apiKey, delegate, 1.0, defaultEnvironment());
}

Vexmor* Vexmor::startWithAPIKey(const std::string& apiKey, VexmorDelegate* delegate, double delay) {
    return startWithAPIKey(apiKey, delegate, delay, defaultEnvironment());
}

Vexmor* Vexmor::startWithAPIKey(const std::string& apiKey, VexmorDelegate* delegate, double delay,
                                const VXMEnvironment& environment, platform::Error* error) {
    Vexmor& instance = sharedInstance();
    if (delegate) instance.setDelegate(delegate);
    return instance.initializeWithAPIKey(apiKey, delay, environment, error);
}

Vexmor* Vexmor::initializeWithAPIKey(const std::string& apiKey, double delay,
                                     const VXMEnvironment& environment, platform::Error* error) {
    if (apiKey.empty()) {
        const std::string reason = "Vexmor cannot start with the API key '" + apiKey + "'";
        printAlways("[Vexmor] " + std::string(VexmorExceptionDomain) + ": " + reason);
        platform::setError(error, platform::Error{VexmorExceptionDomain, 1, reason});
        return nullptr;
    }
    if (VXMContextIsInitialized()) {
        printAlways(
            "[Vexmor] startWithAPIKey: called more than once. startWithAPIKey: should only be "
            "called once, at app launch time. This call is being ignored.");
        return this;
    }
    std::call_once(once_, [&] { startUp(apiKey, delay, environment); });
    return this;
}

Vexmor* Vexmor::start(platform::Error* error) {
    const std::string* key = kitInfo_["APIKey"].ifString();
    if (!kitInfo_.isDictionary() || !key) {
        const std::string reason = "Kit info missing for Vexmor kit";
        printAlways("[Vexmor] " + reason);
        platform::setError(error, platform::Error{VexmorExceptionDomain, 2, reason});
        return nullptr;
    }
    return startWithAPIKey(*key, nullptr, 1.0, defaultEnvironment(), error);
}

void Vexmor::startUp(const std::string& apiKey, double delay, const VXMEnvironment& environment) {
    // The installation UUID and every other reporter key live in the
    // application's defaults.
    VXMHostSetDefaultsStore(
        VXMDefaultsStore{[](const std::string& key) { return VXMDefaults().stringForKey(key); },
                         [](const std::string& key, const std::string& value) {
                             VXMDefaults().setObject(key, value);
                         }});
    const std::string installationHash = VXMHashNSString(VXMHostInstallationUUID());
    // The HTTP library's global set-up is not thread-safe: done here, before
    // crash capture and the pipeline start threads.
    VXMWebClient::prepareTransport();

    queue_ = platform::DispatchQueue::serial("com.vexmor.queue");
    {
        std::lock_guard lock(mutex_);
        apiKey_ = apiKey;
    }
    collectProcesses_ = false;
    VXMDebugLog("[Vexmor] Welcome to Vexmor %s", version());

    auto controller = VXMSDKController::create(clock_, options_.rootPath);
    controller->setDelegate(this);
    if (!controller->setup()) return;
    {
        std::lock_guard lock(mutex_);
        if (prompt_) controller->setPermissionPrompt(prompt_);
    }

    const std::vector<uint8_t> segment(installationHash.begin(), installationHash.end());
    auto session = VXMUUID::create(segment, clock_.now(), static_cast<uint32_t>(getpid()));
    // Without a session identifier there is nothing to file a crash under:
    // the reporter stays inert and the application runs on.
    if (!session) return;
    sessionIdentifier_ = session->stringValue();
    controller_ = controller;

    // The user's opt-out: no crash is captured and no event is recorded.
    const bool optedOut = VXMSettings::userOptedOut();
    if (optedOut) VXMDebugLog("[Vexmor] Collection turned off by the user");
    if (!options_.disableCrashReporting && !optedOut) {
        setupCrashHandling(apiKey, sessionIdentifier_, environment);
        if (VXMContextIsInitialized())
            VXMDupAndSwapString(&vxmContext.writable->device.batteryLevel, std::string("0.0"),
                                false);
    }
    lastSessionWasCrash_ = false;

    settingsClient_ = std::make_unique<VXMSettingsClient>(controller_->settingsEndpoint());
    settingsClient_->setSDKKitVersions(kitVersions_);
    settingsClient_->setDelegate(this);
    controller_->setSettingsClient(settingsClient_.get());

    if (VXMHostEnableBetaDistribution()) {
        betaClient_ = std::make_unique<VXMBetaClient>();
        betaClient_->setDelegate(this);
        VXMBetaClient* client = betaClient_.get();
        betaController_ = VXMBetaController::create(
            [client](const std::string& url, VXMBetaClient::Completion done) {
                client->getUpdateWithURL(url, std::move(done));
            },
            clock_);
    }
    if (!optedOut) startAnalytics();

    checkForCrashMarker();
    controller_->beginStartupFlowAfterDelay(delay);

    if (VXMDebugMode() && VXMContextIsInitialized())
        platform::dispatchAfter(
            std::chrono::seconds(2), queue_, [] { VXMContextQueueSync(VXMContextCheckHandlers); },
            clock_);
}

void Vexmor::startAnalytics() {
    if (VXMHostIsAppExtension()) return;
    // Without the crash context there is no metadata, and no controller.
    std::optional<std::string> metadata = VXMAnalyticsMetadataJSON();
    if (!metadata) return;
    VXMAnalyticsController::Config config;
    VXMSettingsClient* client = settingsClient_.get();
    config.uploader = [client](const std::vector<std::string>& paths, const std::string& url,
                               VXMAnalyticsController::Completion completion) {
        client->submitEventLogFilesAtPaths(paths, url, std::move(completion));
    };
    config.sessionIdentifier = sessionIdentifier_;
    config.analyticsRootDirectory = controller_->analyticsDirectory();
    config.metadataJSON = std::move(*metadata);
    config.identifierGenerator = std::make_shared<VXMAnalyticsIdentifierGenerator>();
    config.timestampGenerator = std::make_shared<VXMAnalyticsTimestampGenerator>(clock_);
    config.defaults = &VXMDefaults();
    config.clock = &clock_;
    config.installationIsNew = [] { return VXMHostShouldGenerateInstallEvent(); };
    analyticsController_ = VXMAnalyticsController::create(std::move(config));
    if (analyticsController_) {
        analyticsController_->logAppInstalled();
        analyticsController_->logAppLaunched();
    }

    // The settings requests carry the conversion events: ask again hourly.
    if (vxmContext.readOnly->conversionTrackingEnabled) {
        conversionTimer_ = platform::DispatchTimer::create(queue_, clock_);
        conversionTimer_->setHandler([] {
            if (VXMContextIsInitialized() && vxmContext.writable->conversionCallback)
                vxmContext.writable->conversionCallback();
        });
        conversionTimer_->scheduleAfter(std::chrono::seconds(3600), std::chrono::seconds(3600));
    }
}

void Vexmor::setupCrashHandling(const std::string& apiKey, const std::string& sessionIdentifier,
                                const VXMEnvironment& environment) {
    const std::string directory = controller_->crashFileDirectory();
    const std::string normalised = VXMNormalizeUUID(sessionIdentifier);
    VXMContextSetup setup;
    setup.apiKey = apiKey;
    setup.sessionIdentifier = sessionIdentifier;
    setup.recordPath = directory + "/" + normalised + ".vxmrecord";
    setup.markerPath = controller_->crashMarkerFilePath();
    setup.identifierFlags = 15;
    setup.sessionLogPath = directory + "/session.vxmlog";
    setup.crashLogPath = directory + "/" + normalised + ".vxmlog";
    setup.conversionTrackingIdentifier = conversionTrackingIdentifier();
    setup.environment = environment;
    setup.machExceptionMask = machExceptionMask();
    std::weak_ptr<VXMSDKController> controller = controller_;
    setup.conversionCallback = [controller] {
        if (auto c = controller.lock()) c->loadSettings(nullptr);
    };
    loggingOwner.store(this);
    VXMLoggingSetSettingsSource(&Vexmor::loggingSettings);
    VXMContextCreate(setup);
}

VXMLoggingSettings Vexmor::loggingSettings() {
    VXMLoggingSettings settings;
    if (Vexmor* owner = loggingOwner.load()) {
        settings.loaded = owner->settingsLoaded_.load();
        settings.logBufferSize = static_cast<uint64_t>(std::max<int64_t>(owner->logBufferSize_, 0));
        settings.attributesCount =
            static_cast<uint32_t>(std::min<uint64_t>(owner->attributesCount_.load(), UINT32_MAX));
    }
    return settings;
}

uint32_t Vexmor::machExceptionMask() {
    VexmorDelegate* d = delegate();
    if (!d) return 0;
    uint32_t mask = 0;
    for (int signal : VXMFatalSignals) {
        std::optional<bool> deliver = d->vexmorEnsureDeliveryOfUnixSignal(*this, signal);
        if (!deliver) return 0;
        if (*deliver) mask |= VXMMachExceptionMaskForSignal(signal);
    }
    return mask;
}

std::string Vexmor::conversionTrackingIdentifier() {
    VexmorDelegate* d = delegate();
    if (!d) return {};
    return d->vexmorIdentifierForConversionTracking(*this).value_or("");
}

void Vexmor::checkForCrashMarker() {
    if (!controller_) return;
    const std::string marker = controller_->crashMarkerFilePath();
    struct stat info {};
    lastSessionWasCrash_ = stat(marker.c_str(), &info) == 0;
    if (!lastSessionWasCrash_) return;
    if (unlink(marker.c_str()) != 0) VXMDebugLog("[Vexmor] Unable to remove crash marker file");
    if (delegate()) {
        platform::mainQueue()->async([this] {
            if (VexmorDelegate* d = delegate())
                d->vexmorDidDetectCrashDuringPreviousExecution(*this);
        });
    }
}

// ---- Identity and custom keys ---------------------------------------------------

void Vexmor::setUserIdentifier(const std::optional<std::string>& identifier) {
    if (!VXMContextIsInitialized()) return;
    VXMDupAndSwapString(&vxmContext.writable->logging.userIdentifier, identifier, true);
}

void Vexmor::setUserName(const std::optional<std::string>& name) {
    if (!VXMContextIsInitialized()) return;
    VXMDupAndSwapString(&vxmContext.writable->logging.userName, name, true);
}

void Vexmor::setUserEmail(const std::optional<std::string>& email) {
    if (!VXMContextIsInitialized()) return;
    VXMDupAndSwapString(&vxmContext.writable->logging.userEmail, email, true);
}

std::optional<std::string> Vexmor::confirmCustomIdentifierValue(const platform::Value& value) {
    if (const std::string* text = value.ifString()) return *text;
    if (value.isNull()) return std::nullopt;
    return value.description();
}

void Vexmor::setObjectValue(const platform::Value& value, const std::string& key) {
    std::optional<std::string> text;
    if (const std::string* s = value.ifString()) {
        text = *s;
    } else if (value.isNumber()) {
        text = numberText(value);
    } else if (!value.isNull()) {
        text = value.description();
    }
    if (!text) return;
    VXMAddSessionCustomAttribute(key.c_str(), VXMPercentEscape(*text).c_str());
}

void Vexmor::setIntValue(int value, const std::string& key) {
    setObjectValue(platform::Value(std::to_string(value)), key);
}

void Vexmor::setBoolValue(bool value, const std::string& key) {
    setObjectValue(platform::Value(value ? "YES" : "NO"), key);
}

void Vexmor::setFloatValue(float value, const std::string& key) {
    char text[64];
    snprintf(text, sizeof text, "%f", static_cast<double>(value));
    setObjectValue(platform::Value(text), key);
}

void Vexmor::setDevelopmentPlatformName(const std::string& name) {
    if (!VXMContextIsInitialized()) return;
    VXMDupAndSwapString(&vxmContext.writable->devPlatformName, name, true);
}

void Vexmor::setDevelopmentPlatformVersion(const std::string& version) {
    if (!VXMContextIsInitialized()) return;
    VXMDupAndSwapString(&vxmContext.writable->devPlatformVersion, version, true);
}

void Vexmor::recordExceptionName(const std::string& name, const std::string& reason,
                                 const std::vector<VXMStackFrameInput>& frames) {
    VXMRecordCustomException(name, reason, frames);
}

void Vexmor::crash() {
    VXMContextCheckHandlers();
    __builtin_trap();
}

void Vexmor::raiseObjCException() noexcept {
    VXMContextCheckHandlers();
    std::vector<int> empty;
    // Escapes this noexcept function, so the terminate handler records it.
    static_cast<void>(empty.at(0));
    std::terminate();
}

bool Vexmor::debugMode() const {
    return VXMDebugMode();
}

void Vexmor::setDebugMode(bool on) {
    VXMSetDebugMode(on);
}

std::string Vexmor::apiKey() const {
    std::lock_guard lock(mutex_);
    return apiKey_;
}

void Vexmor::setPermissionPrompt(std::shared_ptr<VXMPermissionPrompt> prompt) {
    std::lock_guard lock(mutex_);
    prompt_ = prompt;
    if (controller_) controller_->setPermissionPrompt(std::move(prompt));
}

// ---- Data source --------------------------------------------------------------------

std::string Vexmor::bundleId() const {
    return VXMExecutableGetBundleIdentifier();
}
std::string Vexmor::applicationName() const {
    return VXMExecutableGetApplicationName();
}
std::string Vexmor::bundleVersion() const {
    return VXMExecutableGetBundleVersion();
}
std::optional<std::string> Vexmor::shortBundleVersion() const {
    return VXMExecutableGetShortBundleVersion();
}
std::optional<std::map<std::string, std::string>> Vexmor::executableSlices() const {
    return VXMExecutableGetExecutableSlices();
}
std::string Vexmor::minimumSDKVersion() const {
    return VXMExecutableGetMinimumSDKVersion();
}
std::string Vexmor::builtSDKVersion() const {
    return VXMExecutableGetBuiltSDKVersion();
}
unsigned Vexmor::deliveryMechanism() const {
    return VXMExecutableGetDeliveryMechansim();
}
unsigned Vexmor::deviceState() const {
    return VXMHostState();
}
bool Vexmor::contextIsInitialized() const {
    return VXMContextIsInitialized();
}

platform::Value Vexmor::identificationDictionary() const {
    platform::Value dictionary = platform::Value::dictionary();
    if (!VXMContextIsInitialized() || !vxmContext.readOnly) return dictionary;
    const VXMHostData& host = vxmContext.readOnly->host;
    const std::pair<const char*, const char*> identifiers[] = {
        {VXMClientDeviceIdKey, host.deviceId},
        {VXMClientVendorIdKey, host.vendorId},
        {VXMClientAdvertisingIdKey, host.advertisingId},
        {VXMClientInstallationIdKey, host.installId},
        {VXMClientFontTokenKey, host.fontToken},
    };
    for (const auto& [key, value] : identifiers)
        if (value) dictionary.set(key, value);
    if (auto model = VXMHostGetModel()) dictionary.set(VXMClientModelKey, *model);
    if (auto os = VXMHostGetOSVersionNameWithOSVersion())
        dictionary.set(VXMClientOSVersionKey, *os);
    return dictionary;
}

std::optional<VXMAppIcon> Vexmor::icon() const {
    std::optional<VXMIcon> icon = appIconController_.applicationIcon();
    if (!icon) return std::nullopt;
    return VXMAppIcon{icon->dataHash(), icon->prerendered(), icon->width(), icon->height(),
                      icon->data()};
}

std::optional<platform::Value> Vexmor::eventArray() const {
    return VXMAnalyticsEventArray(VXMDefaults(), VXMHostShouldGenerateInstallEvent(), clock_.now());
}

void Vexmor::removeInstallEventKey() {
    if (!VXMHostConversionTrackingIsEnabled()) return;
    if (!VXMDefaults().objectForKey(kInstallEventKey).isNull())
        VXMDefaults().removeObjectForKey(kInstallEventKey);
}

// ---- Controller delegate ----------------------------------------------------------------

void Vexmor::controllerDidLoadSettings(VXMSDKController&,
                                       const std::shared_ptr<const VXMSettings>& settings) {
    logBufferSize_ = settings->logBufferSize();
    attributesCount_ = settings->maxCustomKeyValuePairs();
    settingsLoaded_ = true;
    if (betaController_ && !betaController_->hasSettings()) {
        betaController_->setSettings(
            {settings->betaUpdateEndpoint(), settings->betaUpdateSuspendDurationSecs()});
        betaController_->checkForUpdate();
    }
    if (analyticsController_) {
        VXMAnalyticsSettings analytics;
        analytics.shouldCollectAnalytics = settings->shouldCollectAnalytics();
        analytics.analyticsURL = settings->analyticsURL();
        analytics.shouldFlushOnBackground = settings->shouldFlushAnalyticsOnBackground();
        auto clamp = [](int64_t v, uint64_t max) {
            return static_cast<uint64_t>(std::clamp<int64_t>(v, 0, static_cast<int64_t>(max)));
        };
        analytics.maxByteSizePerFile = clamp(settings->maxByteSizePerFile(), INT64_MAX);
        analytics.flushIntervalSecs =
            static_cast<uint32_t>(clamp(settings->flushIntervalSecs(), UINT32_MAX));
        analytics.maxPendingSendFileCount =
            static_cast<uint32_t>(clamp(settings->maxPendingSendFileCount(), UINT32_MAX));
        analyticsController_->setSettings(analytics);
    }
}

void Vexmor::controllerWillProcessFile(VXMSDKController&, VXMCrashFile& file) {
    if (!VXMContextIsInitialized()) return;
    VXMContextQueueSync([&file] {
        const VXMBinaryImage& executable = vxmContext.readOnly->executable.image;
        file.setProcessingExecutableUUID(
            executable.uuid ? std::optional<std::string>(VXMUUIDToNSString(executable.uuid))
                            : std::nullopt);
        file.symbolicateWithUUIDMap(VXMBinaryImageMap(&vxmContext.writable->binaryImages));
    });
    if (lastSessionWasCrash_ && analyticsController_)
        if (auto date = file.crashedOnDate())
            analyticsController_->logPreviousSessionCrashedOnDate(*date);
    if (lastSessionWasCrash_ && delegate()) {
        auto copy = std::make_shared<VXMCrashFile>(file);
        platform::mainQueue()->async([this, copy] {
            if (VexmorDelegate* d = delegate())
                d->vexmorDidDetectCrashDuringPreviousExecution(*this, *copy);
        });
    }
}

void Vexmor::controllerCollectProcesses(VXMSDKController&, bool collect) {
    collectProcesses_ = collect;
    if (!collect || !VXMContextIsInitialized()) return;
    VXMContextQueueSync(
        [] { VXMProcessUpdateExteralProcesses(&vxmContext.writable->externalProcesses); });
    std::lock_guard lock(mutex_);
    if (thirtySecondTimer_) return;
    thirtySecondTimer_ = platform::DispatchTimer::create(platform::mainQueue(), clock_);
    thirtySecondTimer_->setHandler([this] {
        if (!collectProcesses_ || !VXMContextIsInitialized()) return;
        VXMContextQueueSync(
            [] { VXMProcessUpdateExteralProcesses(&vxmContext.writable->externalProcesses); });
    });
    thirtySecondTimer_->scheduleAfter(std::chrono::seconds(30), std::chrono::seconds(30));
}
