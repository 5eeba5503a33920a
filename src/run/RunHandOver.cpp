#include <algorithm>
#include <filesystem>

#include "platform/core/Files.h"
#include "platform/core/XdgPaths.h"
#include "platform/desktop/URLHandlers.h"
#include "run/RunTool.h"

namespace fs = std::filesystem;

namespace run {
namespace {

constexpr const char* kScheme = "vexmor";

std::string cachesFolder() {
    return platform::xdgCacheHome();
}

}  // namespace

std::optional<DesktopApp> installedVexmorApp() {
    auto handler = platform::handlerForURLScheme(kScheme);
    if (!handler || handler->location.empty()) return std::nullopt;
    return DesktopApp{handler->location, "file://" + handler->location + "/"};
}

bool isVexmorInstalled() {
    auto app = installedVexmorApp();
    if (app && debugEnabled()) VXMLog("Install path %s", app->url.c_str());
    return app.has_value();
}

bool isVexmorBuildPlistCompatible() {
    auto app = installedVexmorApp();
    if (!app) return false;
    auto bytes = platform::readRegularFile(app->location + "/Contents/Info.plist");
    if (!bytes) return false;
    auto info = platform::Value::fromPlist(*bytes);
    if (!info) return false;
    const platform::Value& version = (*info)["CFBundleVersion"];
    int64_t build = version.isString() ? integerValue(*version.ifString()) : version.int64Value();
    return build > 202;
}

std::string cacheDirectory(const std::string& endpoint) {
    std::string path = cachesFolder() + "/com.vexmor.mac/" + md5Hex(endpoint) + "/builds";
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec || !fs::is_directory(path)) {
        VXMLog("ERROR: unable to write directory for object store.");
        if (ec) VXMLog("%s", ec.message().c_str());
    }
    return path;
}

std::vector<std::string> cacheDSYMsAtPath(const std::string& source,
                                          const std::string& destination) {
    std::vector<fs::path> entries;
    std::error_code ec;
    for (fs::directory_iterator it(source, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    if (ec) {
        VXMLog("Unable to get contents of path %s \n%s", source.c_str(), ec.message().c_str());
        exitTool(1);
    }
    std::sort(entries.begin(), entries.end());
    std::vector<std::string> copied;
    for (const fs::path& entry : entries) {
        if (entry.extension() != ".dSYM") continue;
        std::string target = joinPath(destination, entry.filename().string());
        copied.push_back(target);
        fs::copy(entry, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (ec) {
            VXMLog("Unable to copy dSYM at path %s to path %s %s", entry.c_str(), target.c_str(),
                   ec.message().c_str());
            exitTool(1);
        }
    }
    return copied;
}

void sendDataToMacApp(const std::optional<std::string>& buildPlistPath,
                      const Environment& environment, const std::string& apiKey,
                      const std::string& endpoint, const std::string& bundleIdentifier,
                      bool queryForm) {
    if (debugEnabled()) VXMLog("Sending data to Vexmor.app");
    std::string url = "vexmor://xcode?";
    if (buildPlistPath) url += "VEXMOR_BUILD_PLIST_PATH=" + urlEncode(*buildPlistPath);
    if (queryForm) {
        bool first = true;
        for (const char* name :
             {"BUILT_PRODUCTS_DIR", "PRODUCT_NAME", "WRAPPER_NAME", "DWARF_DSYM_FOLDER_PATH",
              "DWARF_DSYM_FILE_NAME", "PLATFORM_NAME", "PROJECT_FILE_PATH", "INFOPLIST_PATH",
              "CONFIGURATION", "SDKROOT"}) {
            // A setting that is not set goes with an empty value.
            const std::string* value = setting(environment, name);
            url += std::string(first ? "" : "&") + name + "=" + urlEncode(value ? *value : "");
            first = false;
        }
        url += "&VEXMOR_FRAMEWORK_PATH=" + urlEncode(toolBundlePath());
        url += "&VEXMOR_API_KEY=" + urlEncode(apiKey);
        url += "&VEXMOR_RUN_VERSION=" + urlEncode(toolBuildVersion());
        if (const std::string* xcode = setting(environment, "XCODE_VERSION_ACTUAL"))
            url += "&XCODE_VERSION_ACTUAL=" + *xcode;
        if (const std::string* paths = setting(environment, "FRAMEWORK_SEARCH_PATHS"))
            url += "&FRAMEWORK_SEARCH_PATHS=" + urlEncode(*paths);
    }

    if (platform::isValidURL(url) && platform::openURL(url)) return;

    std::string confirm =
        endpoint + "/api/v1/" + urlEncode(apiKey) + "/confirm/" + urlEncode(bundleIdentifier);
    if (platform::isValidURL(confirm)) {
        platform::openURL(confirm);
        const std::string* dsym = setting(environment, "DWARF_DSYM_FILE_NAME");
        VXMLog(
            "You must install Vexmor to continue. %s\n\nIf this machine is a build server "
            "please remove Vexmor.app if present and use xcodebuild so that %s is uploaded.\n",
            confirm.c_str(), dsym ? dsym->c_str() : "");
    } else {
        VXMLog("Failed to build URL %s", confirm.c_str());
    }
    exitTool(1);
}

void handOver(const Environment& environment, const std::string& apiKey,
              const std::string& endpoint) {
    std::string buildFolder = joinPath(cacheDirectory(endpoint), newUUIDString());
    std::error_code ec;
    fs::create_directories(buildFolder, ec);
    if (ec) {
        plainLog("Unable to create directory at path %s \n%s", buildFolder.c_str(),
                 ec.message().c_str());
        exitTool(1);
    }
    // The desktop app owns the folder once it has the URL; until then a
    // failure takes it away again.
    removeOnExit(buildFolder);

    platform::Value info = readInfoPlist(environment).value_or(platform::Value::dictionary());
    platform::Value description = platform::Value::dictionary();
    // The file must always parse: an entry whose name or value an XML property
    // list cannot hold (a terminal escape sequence, invalid UTF-8) is left out.
    auto setText = [](platform::Value& dictionary, const std::string& name,
                      const std::string& value) {
        if (isPropertyListText(name) && isPropertyListText(value)) {
            dictionary.set(name, value);
        } else if (debugEnabled()) {
            VXMLog("Left %s out of Build.plist: control characters or invalid UTF-8",
                   printableText(name).c_str());
        }
    };
    auto copySetting = [&](const char* name) {
        if (const std::string* value = setting(environment, name))
            setText(description, name, *value);
    };
    for (const char* name : {"PLATFORM_NAME", "PROJECT_FILE_PATH", "CONFIGURATION",
                             "XCODE_VERSION_ACTUAL", "CODE_SIGN_IDENTITY", "SDKROOT"})
        copySetting(name);
    setText(description, "VEXMOR_FRAMEWORK_PATH", toolBundlePath());
    description.set("VEXMOR_API_KEY", apiKey);
    description.set("VEXMOR_RUN_VERSION", toolBuildVersion());
    copySetting("PROVISIONING_PROFILE");
    const std::string* products = setting(environment, "BUILT_PRODUCTS_DIR");
    platform::Value dsyms = platform::Value::array();
    for (const auto& path : cacheDSYMsAtPath(products ? *products : "", buildFolder)) {
        if (isPropertyListText(path))
            dsyms.append(path);
        else if (debugEnabled())
            VXMLog("Left %s out of Build.plist: control characters or invalid UTF-8",
                   printableText(path).c_str());
    }
    description.set("dSYMs", std::move(dsyms));
    for (const char* key : {"CFBundleShortVersionString", "CFBundleVersion", "CFBundleDisplayName",
                            "CFBundleName", "CFBundleIdentifier"}) {
        // The product's own values are as untrusted as the environment's.
        if (const std::string* text = info[key].ifString())
            setText(description, key, *text);
        else if (info.contains(key) && !info[key].isDictionary() && !info[key].isArray())
            description.set(key, info[key]);
    }
    platform::Value runner = platform::Value::dictionary();
    for (const auto& [name, value] : environment) setText(runner, name, value);
    description.set("Runner_Environment_Dictionary", std::move(runner));

    std::string bundleIdentifier = info["CFBundleIdentifier"].stringValue();
    if (isVexmorBuildPlistCompatible()) {
        std::string plistPath = joinPath(buildFolder, "Build.plist");
        // Should the description not be written, the query form still carries the build.
        if (writePlistAtomically(plistPath, description)) {
            sendDataToMacApp(plistPath, environment, apiKey, endpoint, bundleIdentifier, false);
            keepOnExit(buildFolder);
            return;
        }
    }
    sendDataToMacApp(std::nullopt, environment, apiKey, endpoint, bundleIdentifier, true);
    keepOnExit(buildFolder);
}

}  // namespace run
