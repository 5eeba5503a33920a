#include "reporter/analytics/VXMAnalyticsController.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "platform/core/Files.h"
#include "platform/core/UniqueFd.h"
#include "reporter/VXMContext.h"
#include "reporter/VXMSafe.h"
#include "reporter/analytics/VXMCompression.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kActive = VXMEventLogSessionRepositoryActiveStateName;
constexpr const char* kPackaged = VXMEventLogSessionRepositoryPackagedStateName;

platform::Error analyticsError(long code, const char* text) {
    return platform::Error{VXMAnalyticsControllerErrorDomain, code, text};
}

std::string standardised(const std::string& path) {
    std::string p = fs::path(path).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

double secondsSince1970(std::chrono::system_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Compresses every ".log" of `fragment` into `prep` as "NAME.zip".
bool compressFragment(VXMEventLogSessionRepository& repository, const std::string& fragment,
                      const std::string& prep, platform::Error* error) {
    auto files = repository.contentsOfDirectory(fragment, error);
    if (!files) return false;
    for (const std::string& file : *files) {
        if (!VXMEventLogSessionRepository::hasExtension(
                file, VXMEventLogSessionRepositoryLogFileNameExtension))
            continue;
        // A FIFO would block packaging for good: a non-directory that is not
        // a regular file is no event log, and goes.
        platform::UniqueFd source(platform::openRegularFile(file));
        if (!source.ok() && errno == EINVAL && ::unlink(file.c_str()) == 0) continue;
        if (!source.ok()) {
            platform::setError(error, platform::Error::fromErrno());
            return false;
        }
        const std::string target = (fs::path(prep) / fs::path(file).filename()).string() + "." +
                                   VXMEventLogSessionRepositoryCompressedFileNameExtension;
        platform::UniqueFd destination(
            ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!destination.ok()) {
            platform::setError(error, platform::Error::fromErrno());
            return false;
        }
        if (VXMCompressionGZipSrcToDest(source.get(), destination.get()) != 0) {
            platform::setError(error, platform::Error::posix(EIO, "Unable to compress " + file));
            return false;
        }
    }
    return true;
}

}  // namespace

std::shared_ptr<VXMAnalyticsController> VXMAnalyticsController::create(Config config) {
    std::shared_ptr<VXMAnalyticsController> controller(
        new VXMAnalyticsController(std::move(config)));
    platform::Error error;
    const bool prepared = controller->prepareSessionFragment(
        controller->config_.identifierGenerator->generateSessionFragmentIdentifier(),
        controller->sessionTimestamp_, &error);
    controller->readLastSession();
    controller->saveCurrentSession();
    if (!prepared) {
        VXMDebugLog("[Vexmor] Unable to prepare new session fragment {error: %s}",
                    error.description.c_str());
        return nullptr;
    }
    return controller;
}

VXMAnalyticsController::VXMAnalyticsController(Config config)
    : config_(std::move(config)),
      clock_(config_.clock ? *config_.clock : platform::systemClock()),
      defaults_(config_.defaults ? *config_.defaults : platform::UserDefaults::standard()),
      repository_(config_.analyticsRootDirectory),
      maintenanceQueue_(platform::DispatchQueue::serial("com.vexmor.analytics.maintenance")),
      priorityQueues_{platform::DispatchQueue::serial("com.vexmor.analytics.high-priority"),
                      platform::DispatchQueue::serial("com.vexmor.analytics.medium-priority"),
                      platform::DispatchQueue::serial("com.vexmor.analytics.low-priority")} {
    if (!config_.identifierGenerator)
        config_.identifierGenerator = std::make_shared<VXMAnalyticsIdentifierGenerator>();
    if (!config_.timestampGenerator)
        config_.timestampGenerator = std::make_shared<VXMAnalyticsTimestampGenerator>(clock_);
    if (!config_.contextAvailable)
        config_.contextAvailable = [] { return VXMContextIsInitialized(); };
    sessionTimestamp_ = config_.timestampGenerator->generateAnalyticsTimestamp();
}

VXMAnalyticsController::~VXMAnalyticsController() {
    std::lock_guard lock(mutex_);
    if (maintenanceTimer_) maintenanceTimer_->cancel();
}

void VXMAnalyticsController::drain() {
    do {
        for (auto& queue : priorityQueues_) queue->sync([] {});
        maintenanceQueue_->sync([] {});
    } while (passesRunning_.load() > 0);
}

std::string VXMAnalyticsController::currentSessionFragmentDirectory() const {
    std::lock_guard lock(mutex_);
    return currentFragmentDirectory_;
}

// ---- Sessions and fragments ---------------------------------------------------

void VXMAnalyticsController::readLastSession() {
    const platform::Value identifier = defaults_.objectForKey(VXMAnalyticsLastSessionIdentifierKey);
    const platform::Value timestamp = defaults_.objectForKey(VXMAnalyticsLastSessionTimestampKey);
    const platform::Value metadata = defaults_.objectForKey(VXMAnalyticsLastSessionMetadataKey);
    if (!identifier.isString() || !timestamp.isInteger() || !metadata.isString()) return;
    std::lock_guard lock(mutex_);
    lastSessionIdentifier_ = identifier.stringValue();
    lastSessionTimestamp_ = timestamp.uint64Value();
    lastSessionMetadata_ = metadata.stringValue();
}

void VXMAnalyticsController::saveCurrentSession() {
    defaults_.setObject(VXMAnalyticsLastSessionIdentifierKey,
                        platform::Value(config_.sessionIdentifier));
    defaults_.setObject(VXMAnalyticsLastSessionTimestampKey, platform::Value(sessionTimestamp_));
    defaults_.setObject(VXMAnalyticsLastSessionMetadataKey, platform::Value(config_.metadataJSON));
}

bool VXMAnalyticsController::prepareSessionFragment(const std::string& identifier,
                                                    uint64_t timestamp, platform::Error* error) {
    auto directory = repository_.sessionFragmentDirectoryForStateName(
        kActive, config_.sessionIdentifier, sessionTimestamp_, identifier, timestamp, error);
    {
        std::lock_guard lock(mutex_);
        currentFragmentIdentifier_ = identifier;
        currentFragmentTimestamp_ = timestamp;
        currentFragmentDirectory_ = directory.value_or("");
    }
    if (!directory) return false;
    platform::DispatchGroup group;
    auto self = shared_from_this();
    for (unsigned priority = 0; priority < 3; ++priority) {
        const std::string url =
            (fs::path(*directory) /
             *VXMEventLogSessionRepository::activeEventLogFileNameForPriority(priority))
                .string();
        group.async(priorityQueues_[priority], [self, priority, url] {
            self->files_[priority].reset();
            self->fileURLs_[priority] = url;
        });
    }
    if (!group.waitFor(std::chrono::seconds(5))) {
        platform::setError(error, platform::Error::posix(ETIMEDOUT));
        return false;
    }
    return true;
}

bool VXMAnalyticsController::openNewSessionFragment(platform::Error* error) {
    return prepareSessionFragment(config_.identifierGenerator->generateSessionFragmentIdentifier(),
                                  config_.timestampGenerator->generateAnalyticsTimestamp(), error);
}

// ---- Events -------------------------------------------------------------------

bool VXMAnalyticsController::analyticsFeatureSwitchEnabled() const {
    if (!config_.contextAvailable()) return false;
    std::lock_guard lock(mutex_);
    return !settings_ || settings_->shouldCollectAnalytics;
}

void VXMAnalyticsController::logEvent(const VXMEventLogEvent& event) {
    if (!analyticsFeatureSwitchEnabled() || event.priority() > 2) return;
    if (event.priority() == 2) {
        // The caller's side is a short hand-over: no file or JSON work, and
        // a task only when none is on its way.
        bool schedule;
        {
            std::lock_guard lock(pendingMutex_);
            schedule = pending_.empty();
            pending_.push_back(event);
        }
        if (schedule) {
            auto self = shared_from_this();
            priorityQueues_[2]->async([self] { self->logPendingOnQueue(); });
        }
        return;
    }
    auto copy = std::make_shared<VXMEventLogEvent>(event);
    auto self = shared_from_this();
    priorityQueues_[event.priority()]->sync([self, copy] { self->logOnQueue(copy); });
}

void VXMAnalyticsController::logPendingOnQueue() {
    std::vector<VXMEventLogEvent> events;
    {
        std::lock_guard lock(pendingMutex_);
        events.swap(pending_);
    }
    for (VXMEventLogEvent& event : events)
        logOnQueue(std::make_shared<VXMEventLogEvent>(std::move(event)));
}

void VXMAnalyticsController::logOnQueue(std::shared_ptr<VXMEventLogEvent> event) {
    const unsigned priority = event->priority();
    auto& file = files_[priority];
    platform::Error error;
    if (!file) {
        uint64_t fragmentTimestamp;
        {
            std::lock_guard lock(mutex_);
            fragmentTimestamp = currentFragmentTimestamp_;
        }
        if (!fileURLs_[priority].empty()) file = VXMEventLogEventFile::open(fileURLs_[priority]);
        if (!file || !file->appendEvent(VXMAnalyticsMetadataEvent(priority, fragmentTimestamp,
                                                                  config_.metadataJSON),
                                        &error)) {
            VXMDebugLog("[Vexmor] Unable to create a new log file for priority %u {error: %s}",
                        priority, error.description.c_str());
            file.reset();
            return;
        }
    }
    if (!file->appendEvent(*event, &error)) {
        VXMDebugLog("[Vexmor] Unable to log event {error: %s}", error.description.c_str());
        return;
    }
    uint64_t maxSize = 0;
    bool haveSettings;
    {
        std::lock_guard lock(mutex_);
        haveSettings = settings_.has_value();
        if (settings_) maxSize = settings_->maxByteSizePerFile;
    }
    if (maxSize != 0 && file->fileSize() > maxSize) {
        maintainSessionFragmentsIgnoringError();
    } else if (priority == 0) {
        if (haveSettings) {
            maintainSessionFragmentsIgnoringError();
        } else {
            std::lock_guard lock(mutex_);
            performMaintenanceAfterSettingsArrive_ = true;
        }
    }
}

void VXMAnalyticsController::logAppInstalled() {
    if (config_.installationIsNew && !config_.installationIsNew()) return;
    logEvent(VXMAnalyticsEvent::applicationInstalled(
        config_.timestampGenerator->generateAnalyticsTimestamp(),
        config_.identifierGenerator->generateEventIdentifier()));
}

void VXMAnalyticsController::logAppLaunched() {
    logEvent(VXMAnalyticsEvent::applicationLaunched(
        config_.timestampGenerator->generateAnalyticsTimestamp(),
        config_.identifierGenerator->generateEventIdentifier()));
}

void VXMAnalyticsController::logPreviousSessionCrashedOnDate(
    std::chrono::system_clock::time_point date) {
    auto self = shared_from_this();
    maintenanceQueue_->async([self, date] {
        std::optional<std::string> identifier, metadata;
        uint64_t lastTimestamp;
        {
            std::lock_guard lock(self->mutex_);
            identifier = self->lastSessionIdentifier_;
            metadata = self->lastSessionMetadata_;
            lastTimestamp = self->lastSessionTimestamp_;
        }
        if (!identifier || !metadata || lastTimestamp == 0) return;
        const auto seconds =
            std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
        const uint64_t timestamp = seconds > 0 ? static_cast<uint64_t>(seconds) * 1000 : 0;
        VXMAnalyticsEvent crash = VXMAnalyticsEvent::applicationCrashed(
            timestamp, self->config_.identifierGenerator->generateEventIdentifier());
        VXMAnalyticsMetadataEvent head(crash.priority(), timestamp, *metadata);
        platform::Error error;
        auto path = self->repository_.eventLogFileForStateName(
            kActive, *identifier, lastTimestamp,
            self->config_.identifierGenerator->generateSessionFragmentIdentifier(), timestamp,
            crash.priority(), &error);
        std::unique_ptr<VXMEventLogEventFile> file;
        if (path) file = VXMEventLogEventFile::open(*path);
        if (!file) {
            VXMDebugLog(
                "[Vexmor] Unable to create a new session fragment to contain crash event "
                "{error: %s}",
                error.description.c_str());
        } else if (!file->appendEvent(head, &error)) {
            VXMDebugLog("[Vexmor] Unable to log metadata event {error: %s}",
                        error.description.c_str());
        } else if (!file->appendEvent(crash, &error)) {
            VXMDebugLog("[Vexmor] Unable to log crash event {error: %s}",
                        error.description.c_str());
        } else {
            return;
        }
        if (path) self->repository_.removeLogFile(*path, nullptr);
    });
}

// ---- Settings -------------------------------------------------------------------

void VXMAnalyticsController::setSettings(std::optional<VXMAnalyticsSettings> settings) {
    auto self = shared_from_this();
    maintenanceQueue_->async([self, settings] {
        {
            std::lock_guard lock(self->mutex_);
            self->settings_ = settings;
        }
        self->scheduleSessionMaintenance();
        self->handleDisabledFeatureSwitch();
    });
    bool notice = false, maintain;
    {
        std::lock_guard lock(mutex_);
        if (settings && settings->shouldCollectAnalytics && !loggedAnalyticsEnabled_)
            notice = loggedAnalyticsEnabled_ = true;
        maintain = performMaintenanceAfterSettingsArrive_;
    }
    if (notice) {
        auto directory = repository_.sessionDirectoryForStateName(
            kActive, config_.sessionIdentifier, sessionTimestamp_, nullptr);
        VXMDebugLog("[Vexmor] Logging events to session directory %s",
                    directory.value_or("").c_str());
    }
    if (maintain) maintainSessionFragmentsIgnoringError();
}

void VXMAnalyticsController::handleDisabledFeatureSwitch() {
    std::error_code ec;
    if (analyticsFeatureSwitchEnabled() || !fs::exists(config_.analyticsRootDirectory, ec)) return;
    auto self = shared_from_this();
    for (unsigned priority = 0; priority < 3; ++priority)
        priorityQueues_[priority]->sync([self, priority] {
            self->files_[priority].reset();
            self->fileURLs_[priority].clear();
        });
    fs::remove_all(config_.analyticsRootDirectory, ec);
    if (ec)
        VXMDebugLog("[Vexmor] Unable to purge analytics directory {error = %s}",
                    ec.message().c_str());
    std::lock_guard lock(mutex_);
    performMaintenanceAfterSettingsArrive_ = false;
}

std::optional<double> VXMAnalyticsController::maintenanceTimerFirstDelay() const {
    uint32_t interval;
    {
        std::lock_guard lock(mutex_);
        if (!settings_ || settings_->flushIntervalSecs == 0) return std::nullopt;
        interval = settings_->flushIntervalSecs;
    }
    const double now = secondsSince1970(clock_.now());
    double last = now;
    const platform::Value stored = defaults_.objectForKey(VXMAnalyticsLastMaintenanceDateKey);
    if (auto value = stored.toDouble())
        last = *value;
    else
        defaults_.setObject(VXMAnalyticsLastMaintenanceDateKey, platform::Value(now));
    return std::max(0.0, interval - (now - last));
}

void VXMAnalyticsController::scheduleSessionMaintenance() {
    {
        std::lock_guard lock(mutex_);
        if (maintenanceTimer_) maintenanceTimer_->cancel();
        maintenanceTimer_.reset();
    }
    if (!analyticsFeatureSwitchEnabled()) return;
    auto first = maintenanceTimerFirstDelay();
    if (!first) return;
    uint32_t interval;
    {
        std::lock_guard lock(mutex_);
        interval = settings_->flushIntervalSecs;
    }
    auto timer = platform::DispatchTimer::create(maintenanceQueue_, clock_);
    std::weak_ptr<VXMAnalyticsController> weak = shared_from_this();
    timer->setHandler([weak] {
        if (auto self = weak.lock()) self->maintainSessionFragmentsIgnoringError();
    });
    timer->scheduleAfter(std::chrono::duration_cast<platform::Clock::duration>(
                             std::chrono::duration<double>(*first)),
                         std::chrono::seconds(interval));
    std::lock_guard lock(mutex_);
    maintenanceTimer_ = timer;
}

// ---- Maintenance ------------------------------------------------------------------

void VXMAnalyticsController::maintainSessionFragmentsIgnoringError() {
    maintainSessionFragments([](std::optional<platform::Error> error) {
        if (error)
            VXMDebugLog("[Vexmor] Unable to maintain session fragments {%s}",
                        error->description.c_str());
    });
}

void VXMAnalyticsController::setMaintenanceDate() {
    defaults_.setObject(VXMAnalyticsLastMaintenanceDateKey,
                        platform::Value(secondsSince1970(clock_.now())));
}

void VXMAnalyticsController::maintainSessionFragments(Completion completion) {
    auto self = shared_from_this();
    ++passesRunning_;
    maintenanceQueue_->async([self, completion] {
        platform::Error error;
        if (!self->openNewSessionFragment(&error))
            VXMDebugLog("[Vexmor] Unable to open new session fragment {%s}",
                        error.description.c_str());
        if (!self->packageClosedSessionFragments(&error))
            VXMDebugLog("[Vexmor] Unable to package closed session fragments {%s}",
                        error.description.c_str());
        self->transmitPackagedSessionFragments(
            [self, completion](std::optional<platform::Error> sent) {
                if (sent)
                    VXMDebugLog("[Vexmor] Unable to transmit packaged session fragments {%s}",
                                sent->description.c_str());
                self->maintenanceQueue_->async([self, completion] {
                    platform::Error cleanupError;
                    if (!self->prunePendingFiles(&cleanupError))
                        VXMDebugLog("[Vexmor] Unable to prune session fragment log files {%s}",
                                    cleanupError.description.c_str());
                    if (!self->repository_.cleanUpIgnoringSessionFragmentDirectory(
                            self->currentSessionFragmentDirectory(), &cleanupError))
                        VXMDebugLog("[Vexmor] Unable to clean up session repository {%s}",
                                    cleanupError.description.c_str());
                    // Written here rather than on the main queue: a main thread
                    // that waits for this queue must not deadlock.
                    self->setMaintenanceDate();
                    if (completion) completion(std::nullopt);
                    --self->passesRunning_;
                });
            });
    });
}

bool VXMAnalyticsController::packageClosedSessionFragments(platform::Error* error) {
    platform::Error purgeError;
    if (!repository_.purgePrepSessionFragmentDirectoriesForStateName(kPackaged, &purgeError))
        VXMDebugLog("[Vexmor] Unable to purge packaged prep session fragments {error = %s}",
                    purgeError.description.c_str());
    auto sessions = repository_.sessionDirectoriesForStateName(kActive, error);
    if (!sessions) return false;
    const std::string open = standardised(currentSessionFragmentDirectory());
    bool ok = true;
    for (const std::string& session : *sessions) {
        auto fragments = repository_.sessionFragmentDirectoriesForSessionDirectory(session, error);
        if (!fragments) return false;
        for (const std::string& fragment : *fragments) {
            if (standardised(fragment) == open) continue;
            platform::Error fragmentError;
            auto prep = repository_.prepSessionFragmentDirectoryForStateName(kPackaged, fragment,
                                                                             &fragmentError);
            bool done =
                prep && compressFragment(repository_, fragment, *prep, &fragmentError) &&
                repository_.removePrepStatusFromSessionFragmentDirectory(*prep, &fragmentError) &&
                repository_.removeSessionFragmentDirectory(fragment, &fragmentError);
            if (!done) {
                // One bad fragment must not hold up the ones after it: it stays
                // in ACTIVE for the next pass (or the pruning).
                if (prep) repository_.deleteItem(*prep, nullptr);
                if (ok) platform::setError(error, fragmentError);
                ok = false;
            }
        }
    }
    return ok;
}

void VXMAnalyticsController::transmitPackagedSessionFragments(Completion completion) {
    std::optional<std::string> url;
    {
        std::lock_guard lock(mutex_);
        if (settings_) url = settings_->analyticsURL;
    }
    if (!url) {
        completion(analyticsError(VXMAnalyticsNoURL, "No analytics URL"));
        return;
    }
    VXMDebugLog("[Vexmor] Transmitting packaged session fragments to URL: %s", url->c_str());
    std::vector<std::string> list;
    platform::Error error;
    if (auto sessions = repository_.sessionDirectoriesForStateName(kPackaged, &error)) {
        for (const std::string& session : *sessions)
            if (auto fragments =
                    repository_.sessionFragmentDirectoriesForSessionDirectory(session, &error))
                list.insert(list.end(), fragments->begin(), fragments->end());
    }
    bool busy;
    {
        std::lock_guard lock(mutex_);
        busy = fragmentsToTransmit_.has_value();
        if (!busy) {
            fragmentsToTransmit_ = std::move(list);
            transmitCompletion_ = completion;
        }
    }
    if (busy) {
        completion(analyticsError(VXMAnalyticsUploadInProgress, "Upload in progress"));
        return;
    }
    transmitNext();
}

void VXMAnalyticsController::transmitNext() {
    std::string fragment, url;
    Completion done;
    {
        std::lock_guard lock(mutex_);
        if (fragmentsToTransmit_->empty()) {
            fragmentsToTransmit_.reset();
            done = std::move(transmitCompletion_);
        } else {
            fragment = fragmentsToTransmit_->front();
            url = settings_ && settings_->analyticsURL ? *settings_->analyticsURL : "";
        }
    }
    if (done) {
        done(std::nullopt);
        return;
    }
    auto finish = [this, fragment] {
        std::lock_guard lock(mutex_);
        fragmentsToTransmit_->erase(fragmentsToTransmit_->begin());
    };
    auto files = repository_.logFilesForSessionFragmentDirectory(fragment, nullptr);
    if (files && files->empty()) {
        // Nothing to send: an empty fragment goes without a request.
        repository_.removeSessionFragmentDirectory(fragment, nullptr);
        files.reset();
    }
    if (!files || url.empty() || !config_.uploader) {
        finish();
        maintenanceQueue_->async([self = shared_from_this()] { self->transmitNext(); });
        return;
    }
    auto self = shared_from_this();
    config_.uploader(*files, url, [self, fragment, finish](std::optional<platform::Error> error) {
        self->maintenanceQueue_->async([self, fragment, finish, error] {
            platform::Error removal;
            if (!error && !self->repository_.removeSessionFragmentDirectory(fragment, &removal))
                VXMDebugLog("[Vexmor] Unable to delete session fragment directory \"%s\" {%s}",
                            fragment.c_str(), removal.description.c_str());
            finish();
            self->transmitNext();
        });
    });
}

bool VXMAnalyticsController::prunePendingFiles(platform::Error* error) {
    uint32_t limit;
    {
        std::lock_guard lock(mutex_);
        if (!settings_) return true;
        limit = settings_->maxPendingSendFileCount;
    }
    auto files = repository_.logFilesForAllStates(error);
    if (!files) return false;
    const std::string open = standardised(currentSessionFragmentDirectory());
    std::erase_if(*files, [&](const std::string& file) {
        return standardised(VXMEventLogSessionRepository::parentDirectory(file)) == open;
    });
    size_t n = files->size();
    if (n <= limit) return true;
    std::vector<std::vector<std::string>> groups(3);
    for (const std::string& file : *files) {
        const unsigned priority =
            VXMEventLogSessionRepository::priorityForEventLogFileWithName(file);
        if (priority < 3) groups[priority].push_back(file);
    }
    for (auto& group : groups) std::sort(group.begin(), group.end());
    while (!groups.empty() && groups.back().empty()) groups.pop_back();
    while (n > limit) {
        if (groups.empty()) {
            platform::setError(
                error, analyticsError(VXMAnalyticsCannotPrune, "Unable to prune pending files"));
            return false;
        }
        auto& group = groups.back();
        if (!repository_.removeLogFile(group.front(), error)) return false;
        group.erase(group.begin());
        while (!groups.empty() && groups.back().empty()) groups.pop_back();
        --n;
    }
    return true;
}
