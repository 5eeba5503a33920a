#include "reporter/sdk/VXMBeta.h"

#include "reporter/VXMSafe.h"

namespace {
constexpr auto kRetryDelay = std::chrono::seconds(900);
}

std::string VXMBetaClient::appendUpdateQueryParamsToURL(const std::string& url) const {
    std::string out = url;
    out += url.find('?') == std::string::npos ? "?" : "&";
    out += "build_version=" +
           VXMWebClient::escapeURLString(delegate_ ? delegate_->bundleVersion() : std::string());
    if (auto shortVersion = delegate_ ? delegate_->shortBundleVersion() : std::nullopt)
        out += "&display_version=" + VXMWebClient::escapeURLString(*shortVersion);
    out += "&instance=" + VXMWebClient::escapeURLString(instanceIdentifier());
    out += "&source=" + sourceString();
    return out;
}

void VXMBetaClient::getUpdateWithURL(const std::string& url, Completion completion) {
    const std::string full = appendUpdateQueryParamsToURL(url);
    auto request = VXMWebRequest::requestWithMethod("GET", "");
    request->setURL(full);
    VXMDebugLog("[Vexmor] Beta Update-Check url string: '%s'", full.c_str());
    if (auto identification = identificationData(); identification && !identification->empty())
        request->addValueForHTTPHeaderField(VXMNSDataToNSString(*identification), "X-VEXMOR-D");
    request->addValueForHTTPHeaderField(delegate_ ? delegate_->APIKey() : std::string(),
                                        VXM_API_KEY_HEADER);
    webClient_->startRequest(request, [completion = std::move(completion)](
                                          const std::shared_ptr<VXMWebResponse>& response) {
        VXMDebugLog("[Vexmor] Beta update-check response: {status: %ld}",
                    static_cast<long>(response->statusCode()));
        if (response->error()) {
            completion(std::nullopt, response->error());
        } else if (response->wasSuccessful() && response->body().isDictionary()) {
            completion(response->body(), std::nullopt);
        } else {
            completion(std::nullopt, platform::Error{VXMBetaErrorDomain, -1, "No beta update"});
        }
    });
}

VXMBetaUpdate::VXMBetaUpdate(const platform::Value& answer) : url(answer["url"].stringValue()) {
    if (const std::string* v = answer["version_string"].ifString()) version = *v;
}

std::shared_ptr<VXMBetaController> VXMBetaController::create(Fetch fetch, platform::Clock& clock) {
    return std::shared_ptr<VXMBetaController>(new VXMBetaController(std::move(fetch), clock));
}

VXMBetaController::VXMBetaController(Fetch fetch, platform::Clock& clock)
    : fetch_(std::move(fetch)),
      clock_(clock),
      queue_(platform::DispatchQueue::serial("com.vexmor.beta")) {}

void VXMBetaController::setSettings(Settings settings) {
    std::lock_guard lock(mutex_);
    settings_ = std::move(settings);
}

bool VXMBetaController::hasSettings() const {
    std::lock_guard lock(mutex_);
    return settings_.has_value();
}

bool VXMBetaController::shouldGetUpdates() const {
    std::lock_guard lock(mutex_);
    return settings_ && !suspended_;
}

bool VXMBetaController::checksSuspended() const {
    std::lock_guard lock(mutex_);
    return suspended_;
}

bool VXMBetaController::retrying() const {
    std::lock_guard lock(mutex_);
    return retrying_;
}

std::optional<VXMBetaUpdate> VXMBetaController::update() const {
    std::lock_guard lock(mutex_);
    return update_;
}

void VXMBetaController::checkForUpdate() {
    // An update found is only kept: there is no prompt on this platform.
    maybeGetUpdate(nullptr);
}

void VXMBetaController::maybeGetUpdate(std::function<void()> completion) {
    if (!shouldGetUpdates()) return;
    auto self = shared_from_this();
    queue_->async([self, completion] {
        std::optional<std::string> endpoint;
        {
            std::lock_guard lock(self->mutex_);
            // One check at a time; none while a retry waits.
            if (self->retrying_ || self->checking_) return;
            self->checking_ = true;
            endpoint = self->settings_->updateEndpoint;
        }
        VXMDebugLog("[Vexmor] Loading beta update");
        if (!endpoint) {
            // Nothing to ask: treated as a failed check.
            self->finished(std::nullopt,
                           platform::Error{VXMBetaErrorDomain, -1, "No update endpoint"},
                           completion);
            return;
        }
        self->fetch_(*endpoint, [self, completion](std::optional<platform::Value> answer,
                                                   std::optional<platform::Error> error) {
            self->queue_->async(
                [self, answer, error, completion] { self->finished(answer, error, completion); });
        });
    });
}

void VXMBetaController::finished(std::optional<platform::Value> answer,
                                 std::optional<platform::Error> error,
                                 std::function<void()> completion) {
    if (!error && answer && answer->isDictionary()) {
        {
            std::lock_guard lock(mutex_);
            checking_ = false;
            retrying_ = false;
            // An answer without a URL keeps the update we had.
            if (answer->contains("url")) update_.emplace(*answer);
        }
        temporarilySuspendChecks();
        VXMDebugLog("[Vexmor] Beta update loaded");
        if (completion) completion();
        return;
    }
    VXMDebugLog("[Vexmor] Failed to load beta update");
    VXMDebugLog("[Vexmor] Beta update load scheduled (%lld)",
                static_cast<long long>(kRetryDelay.count()));
    {
        std::lock_guard lock(mutex_);
        checking_ = false;
        retrying_ = true;
    }
    auto self = shared_from_this();
    platform::dispatchAfter(
        kRetryDelay, queue_,
        [self, completion] {
            {
                std::lock_guard lock(self->mutex_);
                self->retrying_ = false;
            }
            self->maybeGetUpdate(completion);
        },
        clock_);
}

void VXMBetaController::temporarilySuspendChecks() {
    std::lock_guard lock(mutex_);
    if (!settings_) return;
    suspended_ = true;
    if (suspensionTimer_) suspensionTimer_->cancel();
    suspensionTimer_ = platform::DispatchTimer::create(queue_, clock_);
    std::weak_ptr<VXMBetaController> weak = shared_from_this();
    suspensionTimer_->setHandler([weak] {
        if (auto self = weak.lock()) self->allowChecks();
    });
    suspensionTimer_->scheduleAfter(std::chrono::seconds(settings_->suspendDurationSecs));
}

void VXMBetaController::allowChecks() {
    std::lock_guard lock(mutex_);
    suspended_ = false;
    if (suspensionTimer_) suspensionTimer_->cancel();
    suspensionTimer_.reset();
}
