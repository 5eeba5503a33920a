#include "app/logic/QVFolderExtensionOffer.h"

#include <fcntl.h>
#include <stdio.h>
#include <strings.h>

#include <memory>
#include <optional>

#include "FileSystem/QVFileSystem.h"
#include "Logging/LGLog.h"
#include "Logging/LGLogMacros.h"
#include "platform/core/UserDefaults.h"

namespace app {
namespace {

bool hasFolderExtension(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p.size() >= 4 && strcasecmp(p.c_str() + p.size() - 4, ".zel") == 0;
}

struct Run {
    std::vector<std::string> paths;
    std::vector<std::string> result;
    size_t next = 0;
    std::optional<bool> append;  // the answer, once asked
    platform::UserDefaults* defaults = nullptr;
    FolderExtensionQuestion ask;
    std::function<void(std::vector<std::string>)> done;
    QVFileSystem lookups;  // one handle for every UUID lookup
};

void apply(Run& run, const std::string& path, const std::string& key) {
    if (*run.append) {
        std::string target = path;
        while (target.size() > 1 && target.back() == '/') target.pop_back();
        target += ".zel";
        // Never over an item that is already there.
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            run.result.push_back(target);
            return;
        }
        LGLogError("MWC > addVolumes > could not append extension to %s", path.c_str());
    } else {
        run.defaults->setObject(key, true);
    }
    run.result.push_back(path);
}

void step(const std::shared_ptr<Run>& run) {
    while (run->next < run->paths.size()) {
        const std::string path = run->paths[run->next];
        const std::string key =
            "dontAskToAddExtension-" + run->lookups.uuidOfUnmountedVolume(path).value_or("");
        if (run->defaults->boolForKey(key) || hasFolderExtension(path)) {
            run->result.push_back(path);
            ++run->next;
            continue;
        }
        if (run->append) {
            apply(*run, path, key);
            ++run->next;
            continue;
        }
        run->ask([run, path, key](bool append) {
            run->append = append;
            apply(*run, path, key);
            ++run->next;
            step(run);
        });
        return;
    }
    if (run->done) run->done(std::move(run->result));
}

}  // namespace

void offerFolderExtension(std::vector<std::string> paths, platform::UserDefaults& defaults,
                          FolderExtensionQuestion ask,
                          std::function<void(std::vector<std::string>)> done) {
    auto run = std::make_shared<Run>();
    run->paths = std::move(paths);
    run->defaults = &defaults;
    run->ask = std::move(ask);
    run->done = std::move(done);
    step(run);
}

}  // namespace app
