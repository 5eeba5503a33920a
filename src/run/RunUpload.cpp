#include <unistd.h>

#include <filesystem>

#include "platform/archive/ZipArchive.h"
#include "reporter/web/VXMWebClient.h"
#include "reporter/web/VXMWebErrors.h"
#include "run/RunInfo.h"
#include "run/RunTool.h"
#include "run/VXMMachOBinary.h"

namespace run {
namespace {

// The tool's own developer token; not the crash reporter's.
constexpr const char* kDeveloperToken = "5a1e90c3b7d24f6e8a0b13c9d7f2e4a6b8c0d1e3";

struct Outcome {
    unsigned long status = 0;
    std::optional<platform::Error> error;
    // An answer cut at the body bound or by the transport is no success,
    // whatever its status line said.
    bool succeeded() const {
        if (error && vxmweb::isTransportError(error->domain)) return false;
        return status == 200 || status == 201;
    }
};

// One client per request, for the default origin, released afterwards.
Outcome send(const Environment& environment, const std::shared_ptr<VXMWebRequest>& request) {
    Outcome outcome;
    // Only the status of an answer is read.
    request->setMaximumResponseSize(VXMWebRequest::kUploadMaximumResponseSize);
    VXMWebClient client(defaultAPIOrigin(environment));
    client.syncStartRequest(request, [&](const std::shared_ptr<VXMWebResponse>& response) {
        if (!response) return;
        outcome.status = response->statusCode();
        outcome.error = response->error();
    });
    return outcome;
}

std::optional<std::string> infoString(const platform::Value& info, const char* key) {
    // A value of another type is left out, as the form skips non-text values.
    if (const std::string* value = info[key].ifString()) return *value;
    return std::nullopt;
}

void addField(VXMWebRequest& request, const std::optional<std::string>& value, const char* field) {
    if (value) request.addValueForFormField(*value, field);
}

}  // namespace

std::string urlEncode(std::string_view text) {
    return VXMWebClient::escapeURLString(text);
}

bool buildConfigure(const Environment& environment, const std::string& apiKey,
                    const std::string& buildSecret, bool toolDetails, bool repeated) {
    platform::Value info = infoPlistDictionary(environment);
    std::string platformName = getAppPlatform(environment);
    std::string bundleIdentifier = info["CFBundleIdentifier"].stringValue();

    // Path segments are escaped, so no identifier can reach another resource.
    auto request = VXMWebRequest::requestWithMethod(
        "POST", "/spi/v1/platforms/" + urlEncode(platformName) + "/apps/" +
                    urlEncode(bundleIdentifier) + "/built");
    request->addValueForHTTPHeaderField(apiKey, "X-Vexmor-API-Key");
    request->addValueForHTTPHeaderField(kDeveloperToken, "X-Vexmor-Developer-Token");
    request->addValueForHTTPHeaderField(kToolBundleIdentifier, "X-Vexmor-API-Client-Id");
    request->addValueForHTTPHeaderField("run/" + toolShortVersion(), "User-Agent");
    request->addValueForHTTPHeaderField(toolBuildVersion(), "X-Vexmor-API-Client-Build-Version");
    request->addValueForHTTPHeaderField(toolShortVersion(), "X-Vexmor-API-Client-Display-Version");
    if (!buildSecret.empty())
        request->addValueForHTTPHeaderField(buildSecret, "X-Vexmor-Build-Secret");
    addField(*request, infoString(info, "CFBundleDisplayName"), "app_name");
    request->addValueForFormField(toolDetails ? "build server" : "", "tool_details");

    Outcome outcome = send(environment, request);
    if (outcome.succeeded()) return true;
    if (!repeated) {
        buildConfigure(environment, apiKey, buildSecret, toolDetails, true);
    } else if (outcome.error) {
        VXMLog("Could not be onboarded statusCode %i %s", static_cast<int>(outcome.status),
               outcome.error->description.c_str());
    } else {
        VXMLog("Could not be onboarded statusCode %i", static_cast<int>(outcome.status));
    }
    return false;
}

bool uploadDSYM(const Environment& environment, const VXMMachOBinary* binary,
                const std::string& apiKey, bool printFailure) {
    platform::Value info = infoPlistDictionary(environment);
    std::string platformName = getAppPlatform(environment);

    auto request =
        VXMWebRequest::requestWithMethod("POST", "/api/v1/" + urlEncode(apiKey) + "/dsyms");
    request->addValueForHTTPHeaderField("run/" + toolBuildVersion(), "User-Agent");
    request->addValueForHTTPHeaderField(kDeveloperToken, "X-Vexmor-Developer-Token");
    addField(*request, infoString(info, "CFBundleIdentifier"), "app_id");
    addField(*request, infoString(info, "CFBundleVersion"), "dsym[version_number]");
    addField(*request, infoString(info, "CFBundleShortVersionString"),
             "dsym[short_version_number]");
    addField(*request, platformName, "dsym[platform]");
    if (const std::string* configuration = setting(environment, "CONFIGURATION"))
        addField(*request, *configuration, "dsym[build_configuration]");
    addField(*request, toolBuildVersion(), "com_vexmor_run_version");

    std::string summary;
    if (binary) {
        for (const auto& slice : binary->slices()) {
            std::string architecture = slice->architectureName();
            if (slice->uuid() && !architecture.empty()) {
                summary += "UUID:" + *slice->uuid() + " Slice:" + architecture + "\n";
                request->addValueForFormField(*slice->uuid(), "dsym[uuids][][uuid]");
                request->addValueForFormField(architecture, "dsym[uuids][][architecture]");
            } else {
                VXMLog("Unable to extract uuid-architecture pairs from binary %s",
                       binary->path().c_str());
            }
        }
    }

    const std::string& dsymName = *setting(environment, "DWARF_DSYM_FILE_NAME");
    const std::string& dsymFolder = *setting(environment, "DWARF_DSYM_FOLDER_PATH");
    std::string dsymPath = joinPath(dsymFolder, dsymName);
    std::string zipName = newUUIDString() + "-" + std::to_string(getpid()) + ".zip";
    std::string zipPath = joinPath(dsymFolder, zipName);

    removeOnExit(zipPath);
    if (!platform::zipWithParent(dsymPath, zipPath)) {
        VXMLog("Compression of %s failed, unable to upload.\n\n", dsymName.c_str());
        exitTool(1);
    }
    // Sent from disk as the request goes out: a dSYM of any size is never
    // held in memory.
    auto zip = VXMFormFile::open(zipPath);
    if (!zip) failWithTitleAndReason("Failed to Load File", dsymPath + " data could not be loaded");
    request->addFileForFormField(std::move(zip), "application/zip", zipName, "dsym[file]");
    if (debugEnabled()) VXMLog("Uploading dSYM at path %s", dsymPath.c_str());

    Outcome outcome = send(environment, request);
    std::error_code ec;
    if (!std::filesystem::remove(zipPath, ec) || ec)
        VXMLog("Could not delete zipped dSYM at path %s %s", zipPath.c_str(),
               ec ? ec.message().c_str() : "not found");
    keepOnExit(zipPath);

    if (outcome.succeeded()) {
        VXMLog("%s uploaded statusCode %i\n%s", dsymName.c_str(), static_cast<int>(outcome.status),
               summary.c_str());
        return true;
    }
    if (printFailure) {
        if (outcome.error)
            VXMLog("%s could not be uploaded statusCode %i %s\n%s", dsymName.c_str(),
                   static_cast<int>(outcome.status), outcome.error->description.c_str(),
                   summary.c_str());
        else
            VXMLog("%s could not be uploaded statusCode %i\n%s", dsymName.c_str(),
                   static_cast<int>(outcome.status), summary.c_str());
    }
    return false;
}

}  // namespace run
