#pragma once
// The on-disk tree of the event log:
//
//   ROOT/v1/{ACTIVE|PACKAGED}/{ms}_{session}/{ms}_{fragment}[.prep]/{0,1,2}.log[.zip]
//
// ACTIVE fragments receive events; PACKAGED ones hold gzip copies waiting
// for upload (".zip" names, gzip data). A ".prep" fragment is being packaged.
// No locks: the analytics controller serialises every use. Listings skip
// hidden entries and keep the file system's order.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"

inline constexpr const char* VXMEventLogSessionRepositoryActiveStateName = "ACTIVE";
inline constexpr const char* VXMEventLogSessionRepositoryPackagedStateName = "PACKAGED";
inline constexpr const char* VXMEventLogSessionRepositoryPrepPathExtension = "prep";
inline constexpr const char* VXMEventLogSessionRepositoryLogFileNameExtension = "log";
inline constexpr const char* VXMEventLogSessionRepositoryCompressedFileNameExtension = "zip";
inline constexpr const char* VXMEventLogSessionRepositoryActiveHighPriorityEventLogFileName =
    "0.log";
inline constexpr const char* VXMEventLogSessionRepositoryActiveMediumPriorityEventLogFileName =
    "1.log";
inline constexpr const char* VXMEventLogSessionRepositoryActiveLowPriorityEventLogFileName =
    "2.log";
inline constexpr unsigned VXMEventLogNoPriority = std::numeric_limits<unsigned>::max();

class VXMEventLogSessionRepository {
  public:
    using Paths = std::vector<std::string>;

    explicit VXMEventLogSessionRepository(std::string rootDirectory);
    const std::string& rootDirectory() const { return root_; }

    static std::optional<std::string> activeEventLogFileNameForPriority(unsigned priority);
    // 0, 1 or 2 for "N.log" and "N.log.<ext>"; VXMEventLogNoPriority otherwise.
    static unsigned priorityForEventLogFileWithName(const std::string& name);
    static std::string sessionDirectoryName(const std::string& identifier, uint64_t timestamp);
    static std::string sessionFragmentDirectoryName(const std::string& identifier,
                                                    uint64_t timestamp);
    static std::string prepDirectoryForDirectory(const std::string& directory);
    static bool isPrepDirectory(const std::string& path);
    static std::string parentDirectory(const std::string& path);
    static std::string versionDirectoryName() { return "v1"; }

    std::optional<std::string> statesDirectory(platform::Error* error);
    std::optional<std::string> stateDirectoryForStateName(const std::string& state,
                                                          platform::Error* error);
    std::optional<std::string> sessionDirectoryForStateName(const std::string& state,
                                                            const std::string& sessionIdentifier,
                                                            uint64_t sessionTimestamp,
                                                            platform::Error* error);
    std::optional<std::string> sessionFragmentDirectoryForStateName(
        const std::string& state, const std::string& sessionIdentifier, uint64_t sessionTimestamp,
        const std::string& fragmentIdentifier, uint64_t fragmentTimestamp, platform::Error* error);
    // The fragment directory is created, the file is not.
    std::optional<std::string> eventLogFileForStateName(const std::string& state,
                                                        const std::string& sessionIdentifier,
                                                        uint64_t sessionTimestamp,
                                                        const std::string& fragmentIdentifier,
                                                        uint64_t fragmentTimestamp,
                                                        unsigned priority, platform::Error* error);

    std::optional<Paths> sessionDirectoriesForStateName(const std::string& state,
                                                        platform::Error* error);
    std::optional<Paths> sessionFragmentDirectoriesForSessionDirectory(
        const std::string& sessionDirectory, platform::Error* error);
    // Entries ending in ".log" or ".zip".
    std::optional<Paths> logFilesForSessionFragmentDirectory(const std::string& fragmentDirectory,
                                                             platform::Error* error);
    // ACTIVE first, then PACKAGED; none as soon as a listing fails.
    std::optional<Paths> logFilesForAllStates(platform::Error* error);

    // STATE/<session name>/<fragment name>.prep for a fragment directory,
    // created.
    std::optional<std::string> prepSessionFragmentDirectoryForStateName(
        const std::string& state, const std::string& fragmentDirectory, platform::Error* error);
    // Renames "X.prep" to "X", replacing any "X"; returns the new path.
    std::optional<std::string> removePrepStatusFromSessionFragmentDirectory(
        const std::string& directory, platform::Error* error);
    bool purgePrepSessionFragmentDirectoriesForStateName(const std::string& state,
                                                         platform::Error* error);

    // Removes the fragment, then its session and state directories while
    // they are empty.
    bool removeSessionFragmentDirectory(const std::string& directory, platform::Error* error);
    // Removes the file, then cascades as above while directories are empty.
    bool removeLogFile(const std::string& path, platform::Error* error);
    // An item whose directory does not let us remove it counts as success.
    bool deleteItem(const std::string& path, platform::Error* error);
    // A plain file in the way is removed; directories are created with parents.
    bool createDirectory(const std::string& path, platform::Error* error);
    // A directory in the way is removed; an empty file is created.
    bool createFile(const std::string& path, platform::Error* error);
    enum class ItemType { File = 0, Directory = 1 };
    bool deleteItemIfNotOfType(const std::string& path, ItemType type, platform::Error* error);

    static bool isDirectory(const std::string& path);
    static bool hasName(const std::string& path, const std::string& name);
    static bool hasExtension(const std::string& path, const std::string& extension);
    std::optional<Paths> contentsOfDirectory(const std::string& directory, platform::Error* error);

    // Deletes everything that is not a log file in its place, and empty
    // fragment, session and state directories; the fragment being written
    // is left alone.
    bool cleanUpIgnoringSessionFragmentDirectory(const std::string& ignored,
                                                 platform::Error* error);

  private:
    enum class Level { State, Session, Fragment, LogFile };
    // True when `directory` is to be deleted (nothing in it is kept).
    std::optional<bool> cleanDirectory(const std::string& directory, Level childLevel,
                                       const std::string& ignored, platform::Error* error);
    std::optional<bool> judge(const std::string& path, Level level, const std::string& ignored,
                              platform::Error* error);
    bool removeEmptyParents(std::string directory, int levels, platform::Error* error);

    std::string root_;
};
