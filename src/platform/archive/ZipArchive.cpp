#include "platform/archive/ZipArchive.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <system_error>
#include <vector>

namespace platform {
namespace {

constexpr const char* kZipErrorDomain = "ZipArchiveErrorDomain";

Error zipError(zip_t* archive, const std::string& what) {
    zip_error_t* e = zip_get_error(archive);
    return Error{kZipErrorDomain, zip_error_code_zip(e), what + ": " + zip_error_strerror(e)};
}

struct Item {
    std::filesystem::path path;
    std::string name;     // inside the archive, '/'-separated
    bool follow = false;  // the top entry: a link to a folder packs the folder
};

int statItem(const Item& item, struct stat* st) {
    return item.follow ? stat(item.path.c_str(), st) : lstat(item.path.c_str(), st);
}

// `root` and everything below it, parents before children, siblings by name
// so that an archive does not depend on directory order.
bool collect(const std::filesystem::path& root, std::vector<Item>* items, Error* error) {
    items->push_back({root, root.filename().string(), true});
    for (size_t i = 0; i < items->size(); ++i) {
        Item parent = (*items)[i];
        std::error_code ec;
        struct stat st;
        if (statItem(parent, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        std::vector<Item> children;
        for (std::filesystem::directory_iterator it(parent.path, ec), end; !ec && it != end;
             it.increment(ec))
            children.push_back({it->path(), parent.name + "/" + it->path().filename().string()});
        if (ec) {
            setError(error, Error::posix(ec.value(), "cannot list " + parent.path.string()));
            return false;
        }
        std::sort(children.begin(), children.end(),
                  [](const Item& a, const Item& b) { return a.name < b.name; });
        items->insert(items->end(), children.begin(), children.end());
    }
    return true;
}

bool add(zip_t* archive, const Item& item, std::deque<std::string>* keep, Error* error) {
    struct stat st;
    if (statItem(item, &st) != 0) {
        setError(error, Error::posix(errno, "cannot read " + item.path.string()));
        return false;
    }
    zip_int64_t index = -1;
    if (S_ISDIR(st.st_mode)) {
        index = zip_dir_add(archive, item.name.c_str(), ZIP_FL_ENC_UTF_8);
    } else if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
        zip_source_t* source = nullptr;
        if (S_ISLNK(st.st_mode)) {
            std::error_code ec;
            keep->push_back(std::filesystem::read_symlink(item.path, ec).string());
            if (ec) {
                setError(error, Error::posix(ec.value(), "cannot read " + item.path.string()));
                return false;
            }
            source = zip_source_buffer(archive, keep->back().data(), keep->back().size(), 0);
        } else {
            source = zip_source_file(archive, item.path.c_str(), 0, -1);
        }
        if (!source) {
            setError(error, zipError(archive, "cannot read " + item.path.string()));
            return false;
        }
        index = zip_file_add(archive, item.name.c_str(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) zip_source_free(source);
        if (index >= 0 && S_ISLNK(st.st_mode))
            zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    } else {
        setError(error, Error::posix(ENOTSUP, "cannot archive special file " + item.path.string()));
        return false;
    }
    if (index < 0) {
        setError(error, zipError(archive, "cannot add " + item.name));
        return false;
    }
    zip_uint32_t attributes = static_cast<zip_uint32_t>(st.st_mode & 0177777) << 16;
    if (zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                         ZIP_OPSYS_UNIX, attributes) != 0) {
        setError(error, zipError(archive, "cannot set attributes of " + item.name));
        return false;
    }
    return true;
}

}  // namespace

bool zipWithParent(const std::string& source, const std::string& zipPath, Error* error) {
    std::filesystem::path root = std::filesystem::path(source).lexically_normal();
    if (root.has_filename() == false) root = root.parent_path();
    struct stat st;
    if (stat(root.c_str(), &st) != 0) {
        setError(error, Error::posix(errno, "cannot read " + root.string()));
        return false;
    }
    std::vector<Item> items;
    if (!collect(root, &items, error)) return false;

    int code = 0;
    zip_t* archive = zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_EXCL, &code);
    if (!archive) {
        zip_error_t e;
        zip_error_init_with_code(&e, code);
        setError(error, Error{kZipErrorDomain, code,
                              "cannot create " + zipPath + ": " + zip_error_strerror(&e)});
        zip_error_fini(&e);
        return false;
    }
    std::deque<std::string> linkTargets;  // must outlive zip_close
    for (const Item& item : items) {
        if (!add(archive, item, &linkTargets, error)) {
            zip_discard(archive);
            unlink(zipPath.c_str());
            return false;
        }
    }
    if (zip_close(archive) != 0) {
        setError(error, zipError(archive, "cannot write " + zipPath));
        zip_discard(archive);
        unlink(zipPath.c_str());
        return false;
    }
    return true;
}

}  // namespace platform
