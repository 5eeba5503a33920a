#include <string>

#include "run/RunTool.h"
#include "run/VXMMachOBinary.h"

namespace run {

int runMain(int argc, const char* const* argv) {
    plainLog("Vexmor.framework/run %s", toolShortVersion().c_str());
    if (argc < 2) {
        failWithTitleAndReason(
            "Configuration Issue",
            "Vexmor API key not set. Your Vexmor run script build phase should contain your API "
            "key:\n./Vexmor.framework/run YOUR_API_KEY YOUR_BUILD_SECRET\n\n");
    }
    setDebugEnabled(debugFromUserDefaults(argc, argv, toolUserDefaults()));
    std::string apiKey = argv[1];
    if (!isValidAPIKey(apiKey)) {
        failWithTitleAndReason(
            "Configuration Issue",
            "Vexmor API key not valid. Your Vexmor run script build phase should contain your "
            "API key:\n./Vexmor.framework/run YOUR_API_KEY YOUR_BUILD_SECRET\n\n");
    }

    Environment environment = readEnvironment();
    std::string apiEndpoint = endpoint(environment);
    std::string buildSecret = buildSecretFromArgument(argc > 2 ? argv[2] : nullptr);

    verifyEnvironmentIsValid(environment);
    computePathToFramework(environment);
    std::shared_ptr<VXMMachOBinary> binary = checkDeploymentTarget(environment);

    if (boolValue(setting(environment, "VEXMOR_CREATE_ARTIFACT")
                      ? *setting(environment, "VEXMOR_CREATE_ARTIFACT")
                      : "")) {
        const std::string* chosen = setting(environment, "VEXMOR_ARTIFACT_PATH");
        std::string path =
            chosen ? *chosen
                   : joinPath(*setting(environment, "BUILT_PRODUCTS_DIR"), "vexmor.plist");
        if (!writeArtifact(path, apiKey))
            VXMLog("Failed to write data to artifact path %s\n\n", path.c_str());
    }

    bool upload =
        isBotsDaemonInProcessHierarchy() || (!isVexmorInstalled() && !isXcodeInProcessHierarchy());
    if (upload) {
        buildConfigure(environment, apiKey, buildSecret, true, true);
        bool uploaded = uploadDSYM(environment, binary.get(), apiKey, false) ||
                        uploadDSYM(environment, binary.get(), apiKey, true);
        exitTool(uploaded ? 0 : 1);
    }
    handOver(environment, apiKey, apiEndpoint);
    return 0;
}

}  // namespace run
