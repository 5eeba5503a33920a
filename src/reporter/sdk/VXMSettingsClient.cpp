#include "reporter/sdk/VXMSettingsClient.h"

#include <cinttypes>
#include <iterator>

#include "platform/core/Files.h"
#include "platform/core/PathPieces.h"
#include "reporter/VXMSafe.h"
#include "reporter/sdk/VXMFileHelpers.h"
#include "reporter/sdk/VXMSettings.h"
#include "reporter/web/VXMWebErrors.h"

namespace {

platform::Error clientError(long code, const char* what) {
    return platform::Error{VXMClientErrorDomain, code, what};
}

// Only regular files: a FIFO in a queue directory must never block it.
std::optional<std::vector<uint8_t>> readWholeFile(const std::string& path) {
    auto bytes = platform::readRegularFile(path);
    if (!bytes) return std::nullopt;
    return std::vector<uint8_t>(bytes->begin(), bytes->end());
}

std::string errorText(const std::optional<platform::Error>& error) {
    if (!error) return "(null)";
    return error->domain + " " + std::to_string(error->code) + " " + error->description;
}

}  // namespace

VXMSettingsClient::VXMSettingsClient(const std::string& settingsEndpoint)
    : VXMClientBase(settingsEndpoint) {
    webClient_->addValueForHeader("application/x-plist", "Accept");
}

std::shared_ptr<VXMWebRequest> VXMSettingsClient::newRequest(
    const std::string& method, const std::string& path,
    const std::optional<std::string>& url) const {
    auto request = VXMWebRequest::requestWithMethod(method, path);
    if (url) request->setURL(*url);
    // The answers of uploads and of the configure request are never read.
    if (method != "GET") request->setMaximumResponseSize(VXMWebRequest::kUploadMaximumResponseSize);
    return request;
}

std::optional<std::vector<uint8_t>> VXMSettingsClient::eventData() const {
    VXMSettingsClientDelegate* d = settingsDelegate();
    std::optional<platform::Value> events = d ? d->eventArray() : std::nullopt;
    if (!events || events->size() == 0) return std::nullopt;
    VXMDebugLog("[Vexmor] Adding %zu event(s) to the settings request", events->size());
    std::vector<uint8_t> data = headerDataForArray(*events);
    if (data.empty()) return std::nullopt;
    return data;
}

void VXMSettingsClient::removeInstallEventKey() {
    if (VXMSettingsClientDelegate* d = settingsDelegate()) d->removeInstallEventKey();
}

std::string VXMSettingsClient::settingsPath() const {
    VXMSettingsClientDelegate* d = settingsDelegate();
    std::string path = "/spi/v2/platforms/mac/apps/";
    path += VXMWebClient::escapeURLString(d ? d->bundleId() : std::string()) + "/settings";
    path += "?build_version=" + VXMWebClient::escapeURLString(d ? d->bundleVersion() : "");
    if (auto shortVersion = d ? d->shortBundleVersion() : std::nullopt)
        path += "&display_version=" + VXMWebClient::escapeURLString(*shortVersion);
    path += "&instance=" + VXMWebClient::escapeURLString(instanceIdentifier());
    path += "&source=" + sourceString();
    if (auto icon = d ? d->icon() : std::nullopt)
        if (!icon->hash.empty()) path += "&icon_hash=" + icon->hash;
    return path;
}

void VXMSettingsClient::loadSettingsWithCompletion(SettingsCompletion completion) {
    VXMSettingsClientDelegate* d = settingsDelegate();
    const std::string path = settingsPath();
    auto request = newRequest("GET", path, std::nullopt);
    VXMDebugLog("[Vexmor] Settings url string: '%s%s'", webClient_->URL().c_str(), path.c_str());
    const bool contextReady = d && d->contextIsInitialized();
    // The user's no: the service learns nothing of the device or its use.
    const bool identify = !VXMSettings::userOptedOut();
    if (contextReady && identify) {
        if (auto events = eventData()) {
            VXMDebugLog("[Vexmor] Added event header data");
            request->addValueForHTTPHeaderField(VXMNSDataToNSString(*events), "X-VEXMOR-E");
        }
    }
    if (auto identification = identify ? identificationData() : std::nullopt;
        identification && !identification->empty())
        request->addValueForHTTPHeaderField(VXMNSDataToNSString(*identification), "X-VEXMOR-D");
    request->addValueForHTTPHeaderField(std::to_string(d ? d->deviceState() : 0u),
                                        "X-VEXMOR-DEVICE-STATE");
    request->addValueForHTTPHeaderField(d ? d->APIKey() : std::string(), VXM_API_KEY_HEADER);
    webClient_->startRequest(request, [completion = std::move(completion), contextReady,
                                       d](const std::shared_ptr<VXMWebResponse>& response) {
        VXMDebugLog("[Vexmor] Settings response: {status: %ld, error: %s}",
                    static_cast<long>(response->statusCode()),
                    errorText(response->error()).c_str());
        if (response->error()) {
            if (completion) completion(std::nullopt, response->error());
            return;
        }
        if (response->wasSuccessful() && response->body().isDictionary()) {
            if (contextReady && d) d->removeInstallEventKey();
            VXMDebugLog("[Vexmor] Settings body: %s", response->body().description().c_str());
            if (completion) completion(response->body(), std::nullopt);
            return;
        }
        if (completion)
            completion(std::nullopt,
                       clientError(VXMClientSettingsFailed, "settings request failed"));
    });
}

void VXMSettingsClient::configureApplicationUsingURL(const std::optional<std::string>& url,
                                                     bool asNewApp, Completion completion) {
    if (!url) {
        VXMDebugLog("[Vexmor] [Client] configure URL invalid");
        if (completion) completion(clientError(VXMClientMissingURL, "missing URL"));
        return;
    }
    VXMSettingsClientDelegate* d = settingsDelegate();
    auto request = newRequest(asNewApp ? "POST" : "PUT", "", url);
    if (d) {
        request->addValueForFormField(d->bundleId(), "app[identifier]");
        request->addValueForFormField(instanceIdentifier(), "app[instance_identifier]");
        request->addValueForFormField(d->applicationName(), "app[name]");
        request->addValueForFormField(d->bundleVersion(), "app[build_version]");
        request->addValueForFormField(d->shortBundleVersion(), "app[display_version]");
        request->addValueForFormField(sourceString(), "app[source]");
        request->addValueForFormField(d->minimumSDKVersion(), "app[minimum_sdk_version]");
        request->addValueForFormField(d->builtSDKVersion(), "app[built_sdk_version]");
        request->addValueForFormFromDict(kitVersions_, "app[build][libraries]");
        if (auto slices = d->executableSlices()) {
            for (const auto& [arch, uuid] : *slices) {
                request->addValueForFormField(arch, "app[slices][][arch]");
                request->addValueForFormField(uuid, "app[slices][][uuid]");
            }
        }
        if (auto icon = d->icon()) {
            request->addValueForFormField(icon->hash, "app[icon][hash]");
            request->addValueForFormField(icon->prerendered ? "true" : "false",
                                          "app[icon][prerendered]");
            request->addValueForFormField(std::to_string(static_cast<unsigned long>(icon->width)),
                                          "app[icon][width]");
            request->addValueForFormField(std::to_string(static_cast<unsigned long>(icon->height)),
                                          "app[icon][height]");
            request->addDataForFormField(icon->png, "image/png", "icon.png", "app[icon][data]");
        }
        request->addValueForHTTPHeaderField(d->APIKey(), VXM_API_KEY_HEADER);
    }
    webClient_->startRequest(request, [completion = std::move(completion)](
                                          const std::shared_ptr<VXMWebResponse>& response) {
        if (!completion) return;
        if (response->error()) return completion(response->error());
        if (response->wasSuccessful()) return completion(std::nullopt);
        completion(clientError(VXMClientConfigureFailed, "configure request failed"));
    });
}

void VXMSettingsClient::submitVXMFileAtPath(const std::string& path,
                                            const std::optional<std::string>& url,
                                            Completion completion) {
    submitVXMFileAtPath(path, url, false, std::move(completion));
}

void VXMSettingsClient::submitInvalidRecordAtPath(const std::string& path,
                                                  const std::optional<std::string>& url,
                                                  Completion completion) {
    submitVXMFileAtPath(path, url, true, std::move(completion));
}

std::optional<platform::Error> VXMSettingsClient::uploadOutcome(const VXMWebResponse& response) {
    const unsigned long status = response.statusCode();
    // The service has the upload once it answered 2xx; an answer body that
    // does not decode changes nothing (sending again would duplicate it).
    // Transport errors (the body bound included) still count.
    const auto& error = response.error();
    if (error && vxmweb::isTransportError(error->domain)) return error;
    if (status >= 200 && status <= 299) return std::nullopt;
    if (error) return error;
    // A time-out or a rate limit says nothing about the report itself.
    if (status >= 400 && status <= 499 && status != 408 && status != 429)
        return clientError(VXMClientRejected, "upload rejected");
    return clientError(VXMClientUploadFailed, "upload failed");
}

void VXMSettingsClient::submitVXMFileAtPath(const std::string& path,
                                            const std::optional<std::string>& url, bool asInvalid,
                                            Completion completion) {
    if (!url) {
        VXMDebugLog("[Vexmor] [Client] submission URL invalid");
        if (completion) completion(clientError(VXMClientMissingURL, "missing URL"));
        return;
    }
    auto bytes = readWholeFile(path);
    if (!bytes) {
        VXMDebugLog("[Vexmor] [Client] Could not read data from %s", path.c_str());
        if (completion) completion(clientError(VXMClientUnreadableFile, "unreadable file"));
        return;
    }
    VXMSettingsClientDelegate* d = settingsDelegate();
    auto request = newRequest("POST", "", url);
    if (asInvalid) request->addValueForHTTPHeaderField("1", "X-VEXMOR-INVALID-SESSION");
    request->addValueForHTTPHeaderField(d ? d->APIKey() : std::string(), VXM_API_KEY_HEADER);
    const std::string name(platform::lastComponent(path));
    request->addValueForFormField(VXMDeletingPathExtension(name), "report[identifier]");
    request->addDataForFormField(std::move(*bytes), "application/octet-stream", name,
                                 "report[file]");
    webClient_->startRequest(request, [completion = std::move(completion),
                                       name](const std::shared_ptr<VXMWebResponse>& response) {
        VXMDebugLog("[Vexmor] Submission response: {status: %ld, error: %s}",
                    static_cast<long>(response->statusCode()),
                    errorText(response->error()).c_str());
        VXMDebugLog("[Vexmor] Submitted crash report with file name: \"%s\", request-id: %s",
                    name.c_str(),
                    response->headerValue(VXM_REQUEST_ID_RESPONSE_HEADER)
                        .value_or("<none received>")
                        .c_str());
        if (completion) completion(uploadOutcome(*response));
    });
}

void VXMSettingsClient::submitEventLogFilesAtPaths(const std::vector<std::string>& paths,
                                                   const std::optional<std::string>& url,
                                                   Completion completion) {
    if (!url) {
        VXMDebugLog("[Vexmor] [Client] submision URL invalid");
        if (completion) completion(clientError(VXMClientMissingURL, "missing URL"));
        return;
    }
    VXMSettingsClientDelegate* d = settingsDelegate();
    auto request = newRequest("POST", "", url);
    request->addValueForHTTPHeaderField(d ? d->APIKey() : std::string(), VXM_API_KEY_HEADER);
    if (paths.empty()) {
        if (completion) completion(std::nullopt);
        return;
    }
    for (const std::string& path : paths) {
        auto bytes = readWholeFile(path);
        if (!bytes) {
            if (completion) completion(clientError(VXMClientUnreadableFile, "unreadable file"));
            return;
        }
        const std::string name(platform::lastComponent(path));
        request->addDataForFormField(std::move(*bytes), VXMClientAnalyticsMIMEType, name, name);
    }
    webClient_->startRequest(request, [completion = std::move(completion)](
                                          const std::shared_ptr<VXMWebResponse>& response) {
        if (completion) completion(uploadOutcome(*response));
    });
}
