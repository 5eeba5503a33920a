#include "reporter/analytics/VXMEventLogSessionRepository.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/core/PathPieces.h"

namespace fs = std::filesystem;

namespace {

platform::Error errorFrom(const std::error_code& ec) {
    return platform::Error::posix(ec.value(), ec.message());
}

bool fail(platform::Error* error, const std::error_code& ec) {
    platform::setError(error, errorFrom(ec));
    return false;
}

std::string standardised(const std::string& path) {
    std::string p = fs::path(path).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

std::string lastComponent(const std::string& path) {
    return std::string(platform::lastComponent(standardised(path)));
}

}  // namespace

VXMEventLogSessionRepository::VXMEventLogSessionRepository(std::string rootDirectory)
    : root_(std::move(rootDirectory)) {}

std::optional<std::string> VXMEventLogSessionRepository::activeEventLogFileNameForPriority(
    unsigned priority) {
    switch (priority) {
        case 0:
            return VXMEventLogSessionRepositoryActiveHighPriorityEventLogFileName;
        case 1:
            return VXMEventLogSessionRepositoryActiveMediumPriorityEventLogFileName;
        case 2:
            return VXMEventLogSessionRepositoryActiveLowPriorityEventLogFileName;
        default:
            return std::nullopt;
    }
}

unsigned VXMEventLogSessionRepository::priorityForEventLogFileWithName(const std::string& name) {
    const std::string base = lastComponent(name);
    const std::string stem = fs::path(base).stem().string();
    for (unsigned priority = 0; priority < 3; ++priority) {
        const std::string file = *activeEventLogFileNameForPriority(priority);
        if (base == file || stem == file) return priority;
    }
    return VXMEventLogNoPriority;
}

std::string VXMEventLogSessionRepository::sessionDirectoryName(const std::string& identifier,
                                                               uint64_t timestamp) {
    return std::to_string(timestamp) + "_" + identifier;
}

std::string VXMEventLogSessionRepository::sessionFragmentDirectoryName(
    const std::string& identifier, uint64_t timestamp) {
    return sessionDirectoryName(identifier, timestamp);
}

std::string VXMEventLogSessionRepository::prepDirectoryForDirectory(const std::string& directory) {
    return standardised(directory) + "." + VXMEventLogSessionRepositoryPrepPathExtension;
}

bool VXMEventLogSessionRepository::isPrepDirectory(const std::string& path) {
    return hasExtension(path, VXMEventLogSessionRepositoryPrepPathExtension);
}

std::string VXMEventLogSessionRepository::parentDirectory(const std::string& path) {
    return std::string(platform::parentPath(standardised(path)));
}

bool VXMEventLogSessionRepository::isDirectory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(fs::symlink_status(path, ec));
}

bool VXMEventLogSessionRepository::hasName(const std::string& path, const std::string& name) {
    return lastComponent(path) == name;
}

bool VXMEventLogSessionRepository::hasExtension(const std::string& path,
                                                const std::string& extension) {
    return fs::path(lastComponent(path)).extension() == "." + extension;
}

std::optional<VXMEventLogSessionRepository::Paths>
VXMEventLogSessionRepository::contentsOfDirectory(const std::string& directory,
                                                  platform::Error* error) {
    std::error_code ec;
    Paths paths;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.empty() && name[0] == '.') continue;
        paths.push_back(it->path().string());
    }
    if (ec) {
        fail(error, ec);
        return std::nullopt;
    }
    return paths;
}

// ---- Creating ----------------------------------------------------------------

bool VXMEventLogSessionRepository::deleteItem(const std::string& path, platform::Error* error) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return true;
    // What the directory does not let us remove is left, as the user's choice.
    if (access(parentDirectory(path).c_str(), W_OK | X_OK) != 0) return true;
    fs::remove_all(path, ec);
    return ec ? fail(error, ec) : true;
}

bool VXMEventLogSessionRepository::deleteItemIfNotOfType(const std::string& path, ItemType type,
                                                         platform::Error* error) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (!fs::exists(status)) return true;
    const bool isDir = fs::is_directory(status);
    if (isDir == (type == ItemType::Directory)) return true;
    fs::remove_all(path, ec);
    return ec ? fail(error, ec) : true;
}

bool VXMEventLogSessionRepository::createDirectory(const std::string& path,
                                                   platform::Error* error) {
    if (!deleteItemIfNotOfType(path, ItemType::Directory, error)) return false;
    std::error_code ec;
    fs::create_directories(path, ec);
    // A file in the way of a parent is replaced too.
    if (ec == std::errc::not_a_directory || ec == std::errc::file_exists) {
        const fs::path p(path);
        for (fs::path part; const auto& component : p) {
            part /= component;
            if (!deleteItemIfNotOfType(part.string(), ItemType::Directory, error)) return false;
        }
        ec.clear();
        fs::create_directories(path, ec);
    }
    return ec ? fail(error, ec) : true;
}

bool VXMEventLogSessionRepository::createFile(const std::string& path, platform::Error* error) {
    if (!deleteItemIfNotOfType(path, ItemType::File, error)) return false;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec))) return true;
    FILE* file = fopen(path.c_str(), "wxe");
    if (!file) {
        platform::setError(error, platform::Error::fromErrno());
        return false;
    }
    fclose(file);
    return true;
}

std::optional<std::string> VXMEventLogSessionRepository::statesDirectory(platform::Error* error) {
    const std::string path = (fs::path(root_) / versionDirectoryName()).string();
    if (!createDirectory(path, error)) return std::nullopt;
    return path;
}

std::optional<std::string> VXMEventLogSessionRepository::stateDirectoryForStateName(
    const std::string& state, platform::Error* error) {
    auto states = statesDirectory(error);
    if (!states) return std::nullopt;
    const std::string path = (fs::path(*states) / state).string();
    if (!createDirectory(path, error)) return std::nullopt;
    return path;
}

std::optional<std::string> VXMEventLogSessionRepository::sessionDirectoryForStateName(
    const std::string& state, const std::string& sessionIdentifier, uint64_t sessionTimestamp,
    platform::Error* error) {
    auto stateDir = stateDirectoryForStateName(state, error);
    if (!stateDir) return std::nullopt;
    const std::string path =
        (fs::path(*stateDir) / sessionDirectoryName(sessionIdentifier, sessionTimestamp)).string();
    if (!createDirectory(path, error)) return std::nullopt;
    return path;
}

std::optional<std::string> VXMEventLogSessionRepository::sessionFragmentDirectoryForStateName(
    const std::string& state, const std::string& sessionIdentifier, uint64_t sessionTimestamp,
    const std::string& fragmentIdentifier, uint64_t fragmentTimestamp, platform::Error* error) {
    auto session = sessionDirectoryForStateName(state, sessionIdentifier, sessionTimestamp, error);
    if (!session) return std::nullopt;
    const std::string path =
        (fs::path(*session) / sessionFragmentDirectoryName(fragmentIdentifier, fragmentTimestamp))
            .string();
    if (!createDirectory(path, error)) return std::nullopt;
    return path;
}

std::optional<std::string> VXMEventLogSessionRepository::eventLogFileForStateName(
    const std::string& state, const std::string& sessionIdentifier, uint64_t sessionTimestamp,
    const std::string& fragmentIdentifier, uint64_t fragmentTimestamp, unsigned priority,
    platform::Error* error) {
    auto name = activeEventLogFileNameForPriority(priority);
    if (!name) {
        platform::setError(error, platform::Error::posix(EINVAL));
        return std::nullopt;
    }
    auto fragment = sessionFragmentDirectoryForStateName(
        state, sessionIdentifier, sessionTimestamp, fragmentIdentifier, fragmentTimestamp, error);
    if (!fragment) return std::nullopt;
    return (fs::path(*fragment) / *name).string();
}

// ---- Listing -------------------------------------------------------------------

std::optional<VXMEventLogSessionRepository::Paths>
VXMEventLogSessionRepository::sessionDirectoriesForStateName(const std::string& state,
                                                             platform::Error* error) {
    auto stateDir = stateDirectoryForStateName(state, error);
    if (!stateDir) return std::nullopt;
    auto entries = contentsOfDirectory(*stateDir, error);
    if (!entries) return std::nullopt;
    std::erase_if(*entries, [](const std::string& p) { return !isDirectory(p); });
    return entries;
}

std::optional<VXMEventLogSessionRepository::Paths>
VXMEventLogSessionRepository::sessionFragmentDirectoriesForSessionDirectory(
    const std::string& sessionDirectory, platform::Error* error) {
    auto entries = contentsOfDirectory(sessionDirectory, error);
    if (!entries) return std::nullopt;
    std::erase_if(*entries, [](const std::string& p) { return !isDirectory(p); });
    return entries;
}

std::optional<VXMEventLogSessionRepository::Paths>
VXMEventLogSessionRepository::logFilesForSessionFragmentDirectory(
    const std::string& fragmentDirectory, platform::Error* error) {
    auto entries = contentsOfDirectory(fragmentDirectory, error);
    if (!entries) return std::nullopt;
    std::erase_if(*entries, [](const std::string& p) {
        return !hasExtension(p, VXMEventLogSessionRepositoryLogFileNameExtension) &&
               !hasExtension(p, VXMEventLogSessionRepositoryCompressedFileNameExtension);
    });
    return entries;
}

std::optional<VXMEventLogSessionRepository::Paths>
VXMEventLogSessionRepository::logFilesForAllStates(platform::Error* error) {
    Paths all;
    for (const char* state : {VXMEventLogSessionRepositoryActiveStateName,
                              VXMEventLogSessionRepositoryPackagedStateName}) {
        auto sessions = sessionDirectoriesForStateName(state, error);
        if (!sessions) return std::nullopt;
        for (const std::string& session : *sessions) {
            auto fragments = sessionFragmentDirectoriesForSessionDirectory(session, error);
            if (!fragments) return std::nullopt;
            for (const std::string& fragment : *fragments) {
                auto files = logFilesForSessionFragmentDirectory(fragment, error);
                if (!files) return std::nullopt;
                all.insert(all.end(), files->begin(), files->end());
            }
        }
    }
    return all;
}

// ---- Packaging states ---------------------------------------------------------

std::optional<std::string> VXMEventLogSessionRepository::prepSessionFragmentDirectoryForStateName(
    const std::string& state, const std::string& fragmentDirectory, platform::Error* error) {
    const fs::path fragment(standardised(fragmentDirectory));
    if (std::distance(fragment.begin(), fragment.end()) <= 2) {
        platform::setError(error, platform::Error::posix(EINVAL));
        return std::nullopt;
    }
    auto stateDir = stateDirectoryForStateName(state, error);
    if (!stateDir) return std::nullopt;
    const std::string path = prepDirectoryForDirectory(
        (fs::path(*stateDir) / fragment.parent_path().filename() / fragment.filename()).string());
    if (!createDirectory(path, error)) return std::nullopt;
    return path;
}

std::optional<std::string>
VXMEventLogSessionRepository::removePrepStatusFromSessionFragmentDirectory(
    const std::string& directory, platform::Error* error) {
    if (!isPrepDirectory(directory)) {
        platform::setError(error, platform::Error::posix(EINVAL));
        return std::nullopt;
    }
    fs::path target(standardised(directory));
    target.replace_extension();
    std::error_code ec;
    fs::remove_all(target, ec);
    if (!ec) fs::rename(directory, target, ec);
    if (ec) {
        fail(error, ec);
        return std::nullopt;
    }
    return target.string();
}

bool VXMEventLogSessionRepository::purgePrepSessionFragmentDirectoriesForStateName(
    const std::string& state, platform::Error* error) {
    auto sessions = sessionDirectoriesForStateName(state, error);
    if (!sessions) return false;
    for (const std::string& session : *sessions) {
        auto fragments = sessionFragmentDirectoriesForSessionDirectory(session, error);
        if (!fragments) return false;
        for (const std::string& fragment : *fragments)
            if (isPrepDirectory(fragment) && !deleteItem(fragment, error)) return false;
    }
    return true;
}

// ---- Removal with cascade ------------------------------------------------------

bool VXMEventLogSessionRepository::removeEmptyParents(std::string directory, int levels,
                                                      platform::Error* error) {
    for (int i = 0; i < levels; ++i) {
        directory = parentDirectory(directory);
        if (rmdir(directory.c_str()) == 0) continue;
        if (errno == ENOTEMPTY || errno == EEXIST) return true;
        platform::setError(error, platform::Error::fromErrno());
        return false;
    }
    return true;
}

bool VXMEventLogSessionRepository::removeSessionFragmentDirectory(const std::string& directory,
                                                                  platform::Error* error) {
    std::error_code ec;
    fs::remove_all(directory, ec);
    if (ec) return fail(error, ec);
    return removeEmptyParents(standardised(directory), 2, error);
}

bool VXMEventLogSessionRepository::removeLogFile(const std::string& path, platform::Error* error) {
    std::error_code ec;
    fs::remove(path, ec);
    if (ec) return fail(error, ec);
    const std::string fragment = parentDirectory(path);
    if (rmdir(fragment.c_str()) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST) return true;
        platform::setError(error, platform::Error::fromErrno());
        return false;
    }
    return removeEmptyParents(fragment, 2, error);
}

// ---- Clean-up --------------------------------------------------------------------

std::optional<bool> VXMEventLogSessionRepository::judge(const std::string& path, Level level,
                                                        const std::string& ignored,
                                                        platform::Error* error) {
    const bool directory = isDirectory(path);
    switch (level) {
        case Level::State:
            if (directory && (hasName(path, VXMEventLogSessionRepositoryActiveStateName) ||
                              hasName(path, VXMEventLogSessionRepositoryPackagedStateName)))
                return cleanDirectory(path, Level::Session, ignored, error);
            return true;
        case Level::Session:
            if (!directory) return true;
            return cleanDirectory(path, Level::Fragment, ignored, error);
        case Level::Fragment:
            if (!ignored.empty() && standardised(path) == standardised(ignored)) return false;
            if (!directory) return true;
            return cleanDirectory(path, Level::LogFile, ignored, error);
        case Level::LogFile:
            return directory ||
                   !(hasExtension(path, VXMEventLogSessionRepositoryLogFileNameExtension) ||
                     hasExtension(path, VXMEventLogSessionRepositoryCompressedFileNameExtension));
    }
    return true;
}

std::optional<bool> VXMEventLogSessionRepository::cleanDirectory(const std::string& directory,
                                                                 Level childLevel,
                                                                 const std::string& ignored,
                                                                 platform::Error* error) {
    auto children = contentsOfDirectory(directory, error);
    if (!children) return std::nullopt;
    bool keep = false;
    for (const std::string& child : *children) {
        auto remove = judge(child, childLevel, ignored, error);
        if (!remove) return std::nullopt;
        if (!*remove) {
            keep = true;
        } else if (!deleteItem(child, error)) {
            return std::nullopt;
        }
    }
    return !keep;
}

bool VXMEventLogSessionRepository::cleanUpIgnoringSessionFragmentDirectory(
    const std::string& ignored, platform::Error* error) {
    auto states = statesDirectory(error);
    if (!states) return false;
    return cleanDirectory(*states, Level::State, ignored, error).has_value();
}
