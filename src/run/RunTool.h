#pragma once
// The symbol upload tool: checks of the build environment, the decision
// between uploading and handing the build over, the upload requests and the
// hand-over to the desktop app. Functions documented as ending the program
// print their message and exit; every file the tool made for the run and no
// longer needs is removed first.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/UserDefaults.h"
#include "platform/core/Value.h"

class VXMMachOBinary;

namespace run {

// The build settings, as the build tool passes them in the environment.
using Environment = std::map<std::string, std::string>;

// --- Output and exit -------------------------------------------------------

// "\n\nVexmor: " and the formatted text, on standard error.
[[gnu::format(printf, 1, 2)]] void VXMLog(const char* format, ...);
// The same without the prefix.
[[gnu::format(printf, 1, 2)]] void plainLog(const char* format, ...);
// Prints "title\n\nreason" through VXMLog and exits with status 1.
[[noreturn]] void failWithTitleAndReason(const std::string& title, const std::string& reason);
// Removes the files registered below, then exits.
[[noreturn]] void exitTool(int status);
// Files and folders of this run that an early exit must not leave behind.
void removeOnExit(const std::string& path);
void keepOnExit(const std::string& path);

bool debugEnabled();
void setDebugEnabled(bool enabled);

// --- Texts -----------------------------------------------------------------

// Number parsing of the platform's strings: leading white space, an optional
// sign, then digits up to the first other character; clamped on overflow.
int64_t integerValue(std::string_view text);
// True when, after white space, a sign and zeros, the text starts with one of
// Y y T t or a digit 1-9.
bool boolValue(std::string_view text);
// The length in UTF-16 units; nullopt for invalid UTF-8.
std::optional<size_t> utf16Length(std::string_view text);
// Any C0 or C1 control character or DEL.
bool containsControlCharacters(std::string_view text);
// Valid UTF-8 without control characters or the non-characters U+FFFE and
// U+FFFF: text that an XML property list holds and gives back unchanged.
bool isPropertyListText(std::string_view text);
// The text with each control character and invalid byte shown as "?".
std::string printableText(std::string_view text);
// "%@/%@".
std::string joinPath(const std::string& a, const std::string& b);
// MD5 and SHA-1 as lower-case hexadecimal text.
std::string md5Hex(std::string_view bytes);
std::string sha1Hex(std::string_view bytes);
// A new random UUID, upper case with dashes.
std::string newUUIDString();
// Percent-escaping of path segments and query values.
std::string urlEncode(std::string_view text);

// --- The tool's own information ---------------------------------------------

// The information property list of the tool.
const platform::Value& toolInfo();
std::string toolShortVersion();
std::string toolBuildVersion();
// The folder that holds the program.
std::string toolBundlePath();
// VEXMOR_API_ORIGIN when set, else the origin the tool was built with.
std::string defaultAPIOrigin(const Environment& environment);

// --- Command line and checks -------------------------------------------------

// The API key is valid when it is 40 characters long and holds no control
// characters; the build secret counts only when it is 64 bytes without them.
bool isValidAPIKey(std::string_view key);
std::string buildSecretFromArgument(const char* argument);
// Whether the argument domain ("-debug YES") turns debug output on.
bool debugFromArguments(int argc, const char* const* argv);
// The "debug" user default: the argument domain when it names one, else the
// tool's own stored defaults.
bool debugFromUserDefaults(int argc, const char* const* argv, const platform::UserDefaults& stored);
// The tool's stored defaults, kept under its bundle identifier.
const platform::UserDefaults& toolUserDefaults();

Environment readEnvironment();
// The value of a build setting; null when it is not set.
const std::string* setting(const Environment& environment, const std::string& name);
// Set and not empty.
bool hasSetting(const Environment& environment, const std::string& name);

void verifyEnvironmentIsValid(const Environment& environment);
void verifyInfoPlistValuesAtPath(const std::string& path);
void computePathToFramework(const Environment& environment);
// The product executable, or null when it cannot be opened.
std::shared_ptr<VXMMachOBinary> checkDeploymentTarget(const Environment& environment);
bool OSXDeploymentTargetIsUnsupported(uint32_t major, uint32_t minor);
// `major` 0 means the slice has no minimum-version command.
bool iOSDeploymentTargetIsUnsupported(uint32_t major, const Environment& environment);

// The command names of this process and its ancestors, the process first.
std::vector<std::string> processNamesInHierarchy();
bool isProcessNameInHierarchy(const std::string& name);
bool isXcodeInProcessHierarchy();
bool isBotsDaemonInProcessHierarchy();

// The product's Info.plist; ends the program when it cannot be read.
platform::Value infoPlistDictionary(const Environment& environment);
// The same, or nullopt without ending the program.
std::optional<platform::Value> readInfoPlist(const Environment& environment);
// The Info.plist's "VexmorAPIEndpoint", else the default origin. A missing or
// unreadable Info.plist is left to the checks, which name the problem.
std::string endpoint(const Environment& environment);
// "mac", "ios" or "unknown"; ends the program without PLATFORM_NAME.
std::string getAppPlatform(const Environment& environment);
std::vector<std::string> searchPathsToArray(const std::string& text);

// An XML property list written to a temporary file and renamed into place.
bool writePlistAtomically(const std::string& path, const platform::Value& value);
// Writes {"VexmorAPIKey": key} atomically; false when it cannot.
bool writeArtifact(const std::string& path, const std::string& apiKey);

// --- Upload ----------------------------------------------------------------

bool buildConfigure(const Environment& environment, const std::string& apiKey,
                    const std::string& buildSecret, bool toolDetails, bool repeated);
bool uploadDSYM(const Environment& environment, const VXMMachOBinary* binary,
                const std::string& apiKey, bool printFailure);

// --- Hand-over ---------------------------------------------------------------

struct DesktopApp {
    std::string location;  // the application folder
    std::string url;       // "file://<location>/"
};
std::optional<DesktopApp> installedVexmorApp();
bool isVexmorInstalled();
bool isVexmorBuildPlistCompatible();
std::string cacheDirectory(const std::string& endpoint);
std::vector<std::string> cacheDSYMsAtPath(const std::string& source,
                                          const std::string& destination);
// Returns only when the desktop app took the URL.
void sendDataToMacApp(const std::optional<std::string>& buildPlistPath,
                      const Environment& environment, const std::string& apiKey,
                      const std::string& endpoint, const std::string& bundleIdentifier,
                      bool queryForm);
// Returns only when the desktop app took the build.
void handOver(const Environment& environment, const std::string& apiKey,
              const std::string& endpoint);

// --- Entry -------------------------------------------------------------------

int runMain(int argc, const char* const* argv);

}  // namespace run
