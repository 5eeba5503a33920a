#pragma once
// Facts and files of the build, compiled into the program.

namespace app {

extern const char* const kVersion;      // the project's version, "0.1.0"
extern const char* const kBuildNumber;  // the build number
extern const char* const kCreditsHTML;  // resources/Credits.html

}  // namespace app
