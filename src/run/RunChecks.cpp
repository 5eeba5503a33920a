#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "platform/core/Files.h"
#include "run/RunTool.h"
#include "run/VXMMachOBinary.h"

namespace run {
namespace {

std::string infoPlistPath(const Environment& environment) {
    const std::string* products = setting(environment, "BUILT_PRODUCTS_DIR");
    const std::string* info = setting(environment, "INFOPLIST_PATH");
    return joinPath(products ? *products : "", info ? *info : "");
}

std::optional<platform::Value> readPlistFile(const std::string& path) {
    auto bytes = platform::readRegularFile(path);
    if (!bytes) return std::nullopt;
    auto value = platform::Value::fromPlist(*bytes);
    if (!value || !value->isDictionary()) return std::nullopt;
    return value;
}

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    if (!realpath(path.c_str(), buffer)) return path;
    return buffer;
}

const char* settingText(const Environment& environment, const std::string& name) {
    const std::string* value = setting(environment, name);
    return value ? value->c_str() : "(null)";
}

}  // namespace

void verifyEnvironmentIsValid(const Environment& environment) {
    for (const char* name : {"BUILT_PRODUCTS_DIR", "INFOPLIST_PATH", "DWARF_DSYM_FILE_NAME",
                             "DWARF_DSYM_FOLDER_PATH"}) {
        if (!hasSetting(environment, name))
            failWithTitleAndReason("Failed to Detect Build Environment",
                                   std::string(name) + " value not found in environment");
    }
    std::error_code ec;
    std::string info = infoPlistPath(environment);
    if (!std::filesystem::exists(info, ec)) {
        failWithTitleAndReason(
            "Info.plist Error",
            "Unable to process Info.plist at path " + info +
                "\nThis could be a timing issue, make sure the Vexmor run script build phase is "
                "the last build phase and no other scripts have moved " +
                settingText(environment, "WRAPPER_NAME") +
                " from the location Xcode generated it.");
    }
    verifyInfoPlistValuesAtPath(info);
    std::string dsymName = *setting(environment, "DWARF_DSYM_FILE_NAME");
    std::string dsym = joinPath(*setting(environment, "DWARF_DSYM_FOLDER_PATH"), dsymName);
    if (!std::filesystem::exists(dsym, ec)) {
        failWithTitleAndReason(
            "dSYM Error",
            "Unable to process " + dsymName + " at path " + dsym +
                "\nMake sure your project build settings are generating a dSYM file. "
                "DEBUG_INFORMATION_FORMAT should be set to dwarf-with-dsym for all "
                "configurations. This could also be a timing issue, make sure the Vexmor run "
                "script build phase is the last build phase and no other scripts have moved the "
                "dSYM from the location Xcode generated it.\n\n");
    }
}

void verifyInfoPlistValuesAtPath(const std::string& path) {
    auto info = readPlistFile(path);
    const std::string* identifier = info ? (*info)["CFBundleIdentifier"].ifString() : nullptr;
    if (!identifier || identifier->empty()) {
        failWithTitleAndReason("Required Info.plist Value Not Found",
                               "A CFBundleIdentifier value in your Info.plist is required. Please "
                               "confirm this value is present in " +
                                   path + " \n\n");
    }
}

void computePathToFramework(const Environment& environment) {
    const std::string* srcRootSetting = setting(environment, "SRCROOT");
    std::string srcRoot = srcRootSetting ? *srcRootSetting : "";
    std::error_code ec;
    std::string current = std::filesystem::current_path(ec).string();
    if (debugEnabled()) {
        VXMLog("Src root %s", srcRoot.c_str());
        VXMLog("Current directory path %s", current.c_str());
    }
    if (!srcRoot.empty() && srcRoot == current) return;
    std::string currentResolved = resolved(current);
    if (debugEnabled()) VXMLog("Current directory path resolved %s", currentResolved.c_str());
    if (!srcRoot.empty() && srcRoot == currentResolved) return;
    std::string srcRootResolved = srcRoot.empty() ? srcRoot : resolved(srcRoot);
    if (debugEnabled()) VXMLog("Src root resolved %s", srcRootResolved.c_str());
    if (!srcRoot.empty() && srcRootResolved == currentResolved) return;
    failWithTitleAndReason("Use a Target Run Script Build Phase",
                           "Make sure the Vexmor command is added to your project Target and not "
                           "the scheme 'Post-actions'.\n\nThen, Build your project to "
                           "continue.\n\n(Vexmor error 602)");
}

bool OSXDeploymentTargetIsUnsupported(uint32_t major, uint32_t minor) {
    return !(major > 10 || (major == 10 && minor >= 6));
}

bool iOSDeploymentTargetIsUnsupported(uint32_t major, const Environment& environment) {
    if (major == 0) {
        const std::string* target = setting(environment, "IPHONEOS_DEPLOYMENT_TARGET");
        return integerValue(target ? *target : "") < 4;
    }
    return major < 4;
}

std::shared_ptr<VXMMachOBinary> checkDeploymentTarget(const Environment& environment) {
    const std::string* products = setting(environment, "BUILT_PRODUCTS_DIR");
    const std::string* executable = setting(environment, "EXECUTABLE_PATH");
    const std::string path = joinPath(products ? *products : "", executable ? *executable : "");
    auto binary = VXMMachOBinary::MachOBinaryWithPath(path);
    // Never passed silently: without the executable nothing is checked and no
    // UUID goes with the upload; a damaged one is checked as far as it reads.
    if (!binary) {
        VXMLog(
            "Unable to read the executable at path %s. Its deployment target is not checked "
            "and the upload carries no UUIDs.\n\n",
            path.c_str());
        return nullptr;
    }
    if (!binary->isComplete()) {
        VXMLog(
            "The executable at path %s is damaged. Only the parts before the damage are "
            "checked and uploaded.\n\n",
            path.c_str());
    }
    bool iOS = setting(environment, "TARGETED_DEVICE_FAMILY") != nullptr;
    std::string product = settingText(environment, "PRODUCT_NAME");
    for (const auto& slice : binary->slices()) {
        const VXMMachOVersion& v = slice->minimumOSVersion();
        if (iOS && iOSDeploymentTargetIsUnsupported(v.major, environment)) {
            failWithTitleAndReason(
                "Unsupported iOS Version",
                "We have detected that this build of " + product +
                    " supports an older version of iOS than iOS 4.0. Vexmor is only compatible "
                    "with iOS 4.0 and greater. Please set your projects iOS Deployment Target to "
                    "iOS 4.0 or greater.\n\n");
        }
        if (!iOS && OSXDeploymentTargetIsUnsupported(v.major, v.minor)) {
            failWithTitleAndReason(
                "Unsupported OS X Version",
                "We have detected that this build of " + product +
                    " supports an older version of OS X than OS X 10.6. Vexmor is only "
                    "compatible with OS X 10.6 and greater. Please set your projects Mac OS X "
                    "Deployment Target to OS X 10.6 or greater.\n\n");
        }
    }
    return binary;
}

std::vector<std::string> processNamesInHierarchy() {
    std::vector<std::string> names;
    long pid = getpid();
    // Bounded, so a loop in what the kernel reports can never hang the build.
    for (int depth = 0; depth < 4096; ++depth) {
        auto stat = platform::readRegularFile("/proc/" + std::to_string(pid) + "/stat");
        if (!stat) break;  // the process is gone: its name counts as absent
        // "pid (comm) state ppid ...": the name may itself hold ") ".
        size_t open = stat->find('(');
        size_t close = stat->rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) break;
        names.push_back(stat->substr(open + 1, close - open - 1));
        long parent = 0;
        if (std::sscanf(stat->c_str() + close + 1, " %*c %ld", &parent) != 1) break;
        if (pid == 0 || pid == 1) break;
        pid = parent;
    }
    return names;
}

bool isProcessNameInHierarchy(const std::string& name) {
    auto names = processNamesInHierarchy();
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool isXcodeInProcessHierarchy() {
    bool found = isProcessNameInHierarchy("Xcode");
    if (debugEnabled()) VXMLog("Run script build phase called from Xcode.app %i", found ? 1 : 0);
    return found;
}

bool isBotsDaemonInProcessHierarchy() {
    bool found = isProcessNameInHierarchy("xcsbuildd");
    if (debugEnabled()) VXMLog("Run script build phase called from Xcode Bots %i", found ? 1 : 0);
    return found;
}

std::optional<platform::Value> readInfoPlist(const Environment& environment) {
    return readPlistFile(infoPlistPath(environment));
}

platform::Value infoPlistDictionary(const Environment& environment) {
    auto info = readInfoPlist(environment);
    if (!info)
        failWithTitleAndReason(
            "Failed to Load File",
            "Could not load Info.plist contents at path " + infoPlistPath(environment));
    return *info;
}

std::string endpoint(const Environment& environment) {
    if (auto info = readInfoPlist(environment)) {
        if (const std::string* value = (*info)["VexmorAPIEndpoint"].ifString()) return *value;
    }
    return defaultAPIOrigin(environment);
}

std::string getAppPlatform(const Environment& environment) {
    if (!hasSetting(environment, "PLATFORM_NAME")) {
        VXMLog("Failure determining project platform.");
        exitTool(1);
    }
    std::string name = *setting(environment, "PLATFORM_NAME");
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "macosx") return "mac";
    if (name == "iphoneos" || name == "iphonesimulator") return "ios";
    return "unknown";
}

std::vector<std::string> searchPathsToArray(const std::string& text) {
    std::string unquoted;
    std::copy_if(text.begin(), text.end(), std::back_inserter(unquoted),
                 [](char c) { return c != '"'; });
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t space; (space = unquoted.find(' ', start)) != std::string::npos; start = space + 1)
        parts.push_back(unquoted.substr(start, space - start));
    parts.push_back(unquoted.substr(start));
    return parts;
}

bool writePlistAtomically(const std::string& path, const platform::Value& value) {
    auto xml = value.toPlistXML();
    if (!xml) return false;
    // The files hold the API key (and a build's whole environment): readable
    // by their owner only.
    return platform::replaceFileContents(path, *xml, 0600) && ::chmod(path.c_str(), 0600) == 0;
}

bool writeArtifact(const std::string& path, const std::string& apiKey) {
    platform::Value artifact = platform::Value::dictionary();
    artifact.set("VexmorAPIKey", apiKey);
    return writePlistAtomically(path, artifact);
}

}  // namespace run
