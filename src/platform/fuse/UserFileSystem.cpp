#define FUSE_USE_VERSION 35
#include "platform/fuse/UserFileSystem.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/core/Console.h"
#include "platform/core/Dispatch.h"
#include "platform/core/MountTable.h"
#include "platform/core/Process.h"
#include "platform/core/ThreadHooks.h"
#include "platform/core/UniqueFd.h"
#include "platform/fuse/RequestChannel.h"

namespace platform {

// ---- delegate defaults: everything unimplemented answers ENOSYS ------------

namespace {
template <typename T>
T notImplemented(Error* error, T answer) {
    setError(error, Error::posix(ENOSYS));
    return answer;
}
}  // namespace

bool UserFileSystemDelegate::moveItem(const std::string&, const std::string&, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::removeDirectory(const std::string&, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::removeItem(const std::string&, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::createDirectory(const std::string&, const ItemAttributes&, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::createFile(const std::string&, const ItemAttributes&, FileUserData*,
                                        Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::createSpecialItem(const std::string&, mode_t, dev_t, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::linkItem(const std::string&, const std::string&, Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::createSymbolicLink(const std::string&, const std::string&, Error* e) {
    return notImplemented(e, false);
}
std::optional<std::string> UserFileSystemDelegate::destinationOfSymbolicLink(const std::string&,
                                                                             Error* e) {
    return notImplemented<std::optional<std::string>>(e, std::nullopt);
}
bool UserFileSystemDelegate::openFile(const std::string&, int, FileUserData*, Error* e) {
    return notImplemented(e, false);
}
void UserFileSystemDelegate::releaseFile(const std::string&, FileUserData) {}
int64_t UserFileSystemDelegate::readFile(const std::string&, const FileUserData&, char*, size_t,
                                         off_t, Error* e) {
    return notImplemented<int64_t>(e, -1);
}
int64_t UserFileSystemDelegate::writeFile(const std::string&, const FileUserData&, const char*,
                                          size_t, off_t, Error* e) {
    return notImplemented<int64_t>(e, -1);
}
bool UserFileSystemDelegate::prepareWrite(const std::string&, const FileUserData&, const char*,
                                          char*, size_t, off_t) {
    return false;
}
int64_t UserFileSystemDelegate::writePreparedFile(const std::string&, const FileUserData&,
                                                  const char*, size_t, off_t, Error* e) {
    return notImplemented<int64_t>(e, -1);
}
bool UserFileSystemDelegate::exchangeData(const std::string&, const std::string&, Error* e) {
    return notImplemented(e, false);
}
std::optional<std::vector<std::string>> UserFileSystemDelegate::contentsOfDirectory(
    const std::string&, Error* e) {
    return notImplemented<std::optional<std::vector<std::string>>>(e, std::nullopt);
}
std::optional<std::vector<DirectoryEntry>> UserFileSystemDelegate::entriesOfDirectory(
    const std::string& path, Error* error) {
    auto names = contentsOfDirectory(path, error);
    if (!names) return std::nullopt;
    std::vector<DirectoryEntry> entries;
    for (auto& n : *names) {
        std::string item = path == "/" ? path + n : path + "/" + n;
        Error ignored;
        auto st = attributesOfItem(item, nullptr, &ignored);
        entries.push_back({std::move(n), st});
    }
    return entries;
}
std::optional<struct stat> UserFileSystemDelegate::attributesOfItem(const std::string&,
                                                                    const FileUserData&, Error* e) {
    return notImplemented<std::optional<struct stat>>(e, std::nullopt);
}
std::optional<struct statvfs> UserFileSystemDelegate::attributesOfFileSystem(const std::string&,
                                                                             Error* e) {
    return notImplemented<std::optional<struct statvfs>>(e, std::nullopt);
}
bool UserFileSystemDelegate::setAttributes(const ItemAttributes&, const std::string&,
                                           const FileUserData&, Error* e) {
    return notImplemented(e, false);
}
std::optional<std::vector<std::string>> UserFileSystemDelegate::extendedAttributes(
    const std::string&, Error* e) {
    return notImplemented<std::optional<std::vector<std::string>>>(e, std::nullopt);
}
std::optional<std::vector<uint8_t>> UserFileSystemDelegate::valueOfExtendedAttribute(
    const std::string&, const std::string&, off_t, Error* e) {
    return notImplemented<std::optional<std::vector<uint8_t>>>(e, std::nullopt);
}
bool UserFileSystemDelegate::setExtendedAttribute(const std::string&, const std::string&,
                                                  const std::vector<uint8_t>&, off_t, int,
                                                  Error* e) {
    return notImplemented(e, false);
}
bool UserFileSystemDelegate::removeExtendedAttribute(const std::string&, const std::string&,
                                                     Error* e) {
    return notImplemented(e, false);
}
void UserFileSystemDelegate::willMount() {}
bool UserFileSystemDelegate::isReadOnlyVolume() const {
    return false;
}
bool UserFileSystemDelegate::flushFile(const std::string&, const FileUserData&, Error*) {
    return true;
}
bool UserFileSystemDelegate::synchronizeFile(const std::string&, const FileUserData&, bool,
                                             Error*) {
    return true;
}

// ---- the mount ---------------------------------------------------------------
//
// The low-level protocol: the kernel asks by node, the delegate answers by
// path. A node is one raw item, keyed by its (st_dev, st_ino), with every
// name the kernel knows it by; a path is built from any of them when a
// request comes. So the hard links of a file are one node with one page
// cache, and an item keeps its node while the kernel holds it, names or not.

namespace {

using Clock = std::chrono::steady_clock;

// How long the kernel may trust what it was told: entries, attributes and
// absent names. Whatever the volume changes itself the kernel learns at
// once; a change made to the raw folder behind its back shows at the latest
// after this long.
constexpr double kCacheSeconds = 1.0;

// The kernel's readahead of a file read from its start: several requests of
// the largest size in flight at once, which the loop serves side by side,
// so that reading the folder's disk and decrypting overlap.
constexpr unsigned kReadaheadKiB = 8192;

// libfuse's most loop threads; as many may wait idle, so none ends and starts
// again with every burst of requests.
constexpr unsigned kLoopThreads = 10;

// Direct writes at least this large are answered once their bytes are copied and
// are applied behind the answer (see deferWrite); up to kDeferredLimit bytes
// wait at once, on up to kWriteThreads files side by side.
constexpr size_t kDeferredWrite = 128u << 10;
constexpr size_t kDeferredLimit = 16u << 20;
constexpr unsigned kWriteThreads = 4;

struct Node {
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t type = 0;
    uint64_t lookups = 0;
    // (parent node, name); the most recently confirmed first.
    std::vector<std::pair<fuse_ino_t, std::string>> names;
    std::set<uint64_t> handles;  // open files of this node
    // Modification time and size when the page cache was last known to hold
    // the file's contents.
    std::optional<std::pair<timespec, off_t>> cached;
    // The item's extended-attribute names as listed at `namesListed`. A
    // listing asks each file for attributes it almost never has (two per
    // file for ls -l); a name missing here is answered without the folder.
    std::optional<std::vector<std::string>> attributeNames;
    Clock::time_point namesListed;
    uint64_t namesGeneration = 0;  // counts the changes made through the volume
};

struct OpenFile {
    FileUserData data;
    fuse_ino_t node = 0;
    bool wrote = false;
    // Served without the page cache: what it wrote is not in the cache.
    bool direct = false;
    // A write that was answered before it was applied failed: the file's
    // next write, flush or fsync reports it.
    std::optional<Error> deferredError;
};

// A write answered already, to be applied in order with the others of its node.
struct DeferredWrite {
    uint64_t fh;
    FileUserData data;
    std::string path;
    std::vector<char> bytes;
    off_t offset;
    bool prepared;  // by the delegate's prepareWrite
};

struct OpenDirectory {
    std::mutex mutex;
    bool loaded = false;
    std::vector<DirectoryEntry> entries;
};

bool sameStamp(const std::pair<timespec, off_t>& a, const std::pair<timespec, off_t>& b) {
    return a.first.tv_sec == b.first.tv_sec && a.first.tv_nsec == b.first.tv_nsec &&
           a.second == b.second;
}

}  // namespace

struct UserFileSystem::Impl {
    std::shared_ptr<UserFileSystemDelegate> delegate;
    EventHandler handler;
    std::string mountPath;
    bool createdMountPoint = false;

    fuse_session* session = nullptr;
    std::thread loop;
    mutable std::mutex mutex;
    bool mounted = false;

    // Directories still open: a loop that ends before their RELEASEDIR
    // (an abort, a lazy unmount) frees them itself.
    std::mutex directoriesMutex;
    std::set<OpenDirectory*> openDirectories;

    // Nodes, names and open files; never held across a delegate call.
    std::mutex nodesMutex;
    std::unordered_map<fuse_ino_t, Node> nodes;
    std::map<std::pair<dev_t, ino_t>, fuse_ino_t> byIdentity;
    std::map<std::pair<fuse_ino_t, std::string>, fuse_ino_t> byName;
    fuse_ino_t nextNode = FUSE_ROOT_ID + 1;
    std::map<uint64_t, OpenFile> files;
    uint64_t nextHandle = 1;

    // Writes answered but not yet applied, by node: one node's in order,
    // several nodes side by side. Every other request settles them first.
    std::mutex deferMutex;
    std::condition_variable deferWork, deferDone;
    std::map<fuse_ino_t, std::deque<DeferredWrite>> deferred;
    std::set<fuse_ino_t> writingNodes;  // taken by a write thread
    size_t deferredBytes = 0;           // queued and being applied
    std::atomic<bool> anyDeferred{false};
    bool stopWriting = false;
    std::vector<std::thread> writeThreads;
    std::vector<std::vector<char>> spareBuffers;

    void post(UserFileSystemEvent event) {
        EventHandler h;
        {
            std::lock_guard lock(mutex);
            h = handler;
        }
        if (!h) return;
        mainQueue()->async([h, event = std::move(event)] { h(event); });
    }

    // The volume path of `node`: "/" for the root, "" for an item that has
    // no name left (removed while open, or inside a removed directory).
    std::string pathOf(fuse_ino_t node) {
        std::lock_guard lock(nodesMutex);
        return pathOfLocked(node);
    }
    std::string pathOfLocked(fuse_ino_t node) const {
        std::vector<const std::string*> parts;
        for (int depth = 0; node != FUSE_ROOT_ID; ++depth) {
            auto it = nodes.find(node);
            if (it == nodes.end() || it->second.names.empty() || depth > 4096) return {};
            parts.push_back(&it->second.names.front().second);
            node = it->second.names.front().first;
        }
        if (parts.empty()) return "/";
        std::string path;
        for (auto p = parts.rbegin(); p != parts.rend(); ++p) path += "/" + **p;
        return path;
    }
    std::string childPath(fuse_ino_t parent, const char* name) {
        std::string dir = pathOf(parent);
        if (dir.empty()) return {};
        return dir == "/" ? dir + name : dir + "/" + name;
    }

    void dropNameLocked(fuse_ino_t parent, const std::string& name) {
        auto it = byName.find({parent, name});
        if (it == byName.end()) return;
        if (auto n = nodes.find(it->second); n != nodes.end()) {
            auto& names = n->second.names;
            names.erase(std::remove(names.begin(), names.end(), std::make_pair(parent, name)),
                        names.end());
        }
        byName.erase(it);
    }
    void dropName(fuse_ino_t parent, const std::string& name) {
        std::lock_guard lock(nodesMutex);
        dropNameLocked(parent, name);
    }
    void moveName(fuse_ino_t parent, const std::string& name, fuse_ino_t newParent,
                  const std::string& newName) {
        std::lock_guard lock(nodesMutex);
        auto it = byName.find({parent, name});
        fuse_ino_t node = it == byName.end() ? 0 : it->second;
        dropNameLocked(parent, name);
        dropNameLocked(newParent, newName);
        if (!node) return;
        nodes[node].names.insert(nodes[node].names.begin(), {newParent, newName});
        byName[{newParent, newName}] = node;
    }
    void exchangeNames(fuse_ino_t parent, const std::string& name, fuse_ino_t newParent,
                       const std::string& newName) {
        std::lock_guard lock(nodesMutex);
        auto a = byName.find({parent, name});
        auto b = byName.find({newParent, newName});
        fuse_ino_t na = a == byName.end() ? 0 : a->second;
        fuse_ino_t nb = b == byName.end() ? 0 : b->second;
        dropNameLocked(parent, name);
        dropNameLocked(newParent, newName);
        if (na) {
            nodes[na].names.insert(nodes[na].names.begin(), {newParent, newName});
            byName[{newParent, newName}] = na;
        }
        if (nb) {
            nodes[nb].names.insert(nodes[nb].names.begin(), {parent, name});
            byName[{parent, name}] = nb;
        }
    }

    // The node of the item `st` under (parent, name), counted once more as
    // known to the kernel.
    fuse_ino_t remember(fuse_ino_t parent, const std::string& name, const struct stat& st) {
        std::lock_guard lock(nodesMutex);
        auto key = std::make_pair(st.st_dev, st.st_ino);
        fuse_ino_t id = 0;
        if (auto it = byIdentity.find(key); it != byIdentity.end()) {
            // A raw inode number used again for an item of another kind is a
            // new item.
            if (nodes[it->second].type == (st.st_mode & S_IFMT))
                id = it->second;
            else
                byIdentity.erase(it);
        }
        if (!id) {
            id = nextNode++;
            Node& n = nodes[id];
            n.dev = st.st_dev;
            n.ino = st.st_ino;
            n.type = st.st_mode & S_IFMT;
            byIdentity[key] = id;
        }
        Node& n = nodes[id];
        auto entry = std::make_pair(parent, name);
        auto at = byName.find(entry);
        if (at == byName.end() || at->second != id) {
            dropNameLocked(parent, name);
            byName[entry] = id;
            n.names.insert(n.names.begin(), entry);
        } else if (n.names.front() != entry) {
            n.names.erase(std::remove(n.names.begin(), n.names.end(), entry), n.names.end());
            n.names.insert(n.names.begin(), entry);
        }
        ++n.lookups;
        return id;
    }

    void forget(fuse_ino_t id, uint64_t count) {
        if (id == FUSE_ROOT_ID) return;
        std::lock_guard lock(nodesMutex);
        auto it = nodes.find(id);
        if (it == nodes.end()) return;
        Node& n = it->second;
        n.lookups = count >= n.lookups ? 0 : n.lookups - count;
        if (n.lookups) return;
        for (const auto& name : n.names) byName.erase(name);
        if (auto k = byIdentity.find({n.dev, n.ino}); k != byIdentity.end() && k->second == id)
            byIdentity.erase(k);
        nodes.erase(it);
    }

    // The raw inode number of `node` for a listing, never 0.
    ino_t rawInode(fuse_ino_t node) {
        std::lock_guard lock(nodesMutex);
        auto it = nodes.find(node);
        return it != nodes.end() && it->second.ino ? it->second.ino : node;
    }
    fuse_ino_t parentOf(fuse_ino_t node) {
        std::lock_guard lock(nodesMutex);
        auto it = nodes.find(node);
        return it == nodes.end() || it->second.names.empty() ? FUSE_ROOT_ID
                                                             : it->second.names.front().first;
    }

    uint64_t addFile(fuse_ino_t node, FileUserData data, bool direct) {
        std::lock_guard lock(nodesMutex);
        uint64_t fh = nextHandle++;
        OpenFile f;
        f.data = std::move(data);
        f.node = node;
        f.direct = direct;
        files.emplace(fh, std::move(f));
        nodes[node].handles.insert(fh);
        return fh;
    }
    FileUserData file(const fuse_file_info* fi, bool writing = false, bool* direct = nullptr) {
        if (!fi) return nullptr;
        std::lock_guard lock(nodesMutex);
        auto it = files.find(fi->fh);
        if (it == files.end()) return nullptr;
        if (writing) it->second.wrote = true;
        if (direct) *direct = it->second.direct;
        return it->second.data;
    }
    // Any open file of `node`: the kernel asks for an open file's attributes
    // by node alone, and one without a name has nothing else to go by.
    FileUserData anyFile(fuse_ino_t node) {
        std::lock_guard lock(nodesMutex);
        auto it = nodes.find(node);
        if (it == nodes.end() || it->second.handles.empty()) return nullptr;
        return files[*it->second.handles.begin()].data;
    }
    std::optional<OpenFile> takeFile(const fuse_file_info* fi) {
        std::lock_guard lock(nodesMutex);
        auto it = files.find(fi->fh);
        if (it == files.end()) return std::nullopt;
        OpenFile f = std::move(it->second);
        files.erase(it);
        if (auto n = nodes.find(f.node); n != nodes.end()) n->second.handles.erase(fi->fh);
        return f;
    }
    // The failure of a deferred write of the open file `fh`, if any;
    // `reported` clears it.
    std::optional<Error> deferredError(uint64_t fh, bool reported) {
        std::lock_guard lock(nodesMutex);
        auto it = files.find(fh);
        if (it == files.end() || !it->second.deferredError) return std::nullopt;
        std::optional<Error> e = it->second.deferredError;
        if (reported) it->second.deferredError.reset();
        return e;
    }
    void failDeferred(uint64_t fh, Error e) {
        std::lock_guard lock(nodesMutex);
        if (auto it = files.find(fh); it != files.end() && !it->second.deferredError)
            it->second.deferredError = std::move(e);
    }

    // Answering a large direct write before it is applied lets the writing
    // program's next request reach the volume while this one is encrypted
    // and written: a stream's steps overlap instead of following each other.
    // Nothing can tell: every request but a write waits for what is
    // deferred (settle), a node's writes apply in their order, and a failure
    // is reported by the file's next write, flush (close) or fsync.
    // False when the write could not be deferred and is to be served now.
    bool deferWrite(uint64_t fh, fuse_ino_t node, FileUserData data, std::string path,
                    const char* buf, size_t size, off_t offset) {
        std::vector<char> bytes;
        {
            std::lock_guard lock(deferMutex);
            if (writeThreads.empty()) {
                try {
                    for (unsigned i = 0; i < kWriteThreads; ++i)
                        writeThreads.emplace_back([this] { applyDeferred(); });
                } catch (const std::system_error&) {
                    if (writeThreads.empty()) return false;
                }
            }
            if (!spareBuffers.empty()) {
                bytes = std::move(spareBuffers.back());
                spareBuffers.pop_back();
            }
        }
        // Copied outside the lock: the others' writes go on meanwhile.
        bytes.resize(size);
        bool prepared = false;
        try {
            prepared = delegate->prepareWrite(path, data, buf, bytes.data(), size, offset);
        } catch (...) {
            prepared = false;  // the plain copy will do
        }
        if (!prepared) std::memcpy(bytes.data(), buf, size);
        std::unique_lock lock(deferMutex);
        deferDone.wait(
            lock, [&] { return deferredBytes == 0 || deferredBytes + size <= kDeferredLimit; });
        deferred[node].push_back(
            {fh, std::move(data), std::move(path), std::move(bytes), offset, prepared});
        deferredBytes += size;
        anyDeferred = true;
        deferWork.notify_one();
        return true;
    }

    bool hasDeferred(fuse_ino_t node) {
        if (!anyDeferred) return false;
        std::lock_guard lock(deferMutex);
        return deferred.count(node) || writingNodes.count(node);
    }

    // Waits until every deferred write is applied.
    void settle() {
        if (!anyDeferred) return;
        std::unique_lock lock(deferMutex);
        deferDone.wait(lock, [&] { return deferredBytes == 0; });
    }

    void applyDeferred() {
        platform::threadDidStart();
        std::unique_lock lock(deferMutex);
        for (;;) {
            auto next = deferred.end();
            deferWork.wait(lock, [&] {
                next = std::find_if(deferred.begin(), deferred.end(),
                                    [&](const auto& q) { return !writingNodes.count(q.first); });
                return next != deferred.end() || (stopWriting && deferred.empty());
            });
            if (next == deferred.end()) return;
            const fuse_ino_t node = next->first;
            DeferredWrite w = std::move(next->second.front());
            next->second.pop_front();
            if (next->second.empty()) deferred.erase(next);
            writingNodes.insert(node);
            lock.unlock();
            applyOne(w);
            lock.lock();
            writingNodes.erase(node);
            deferredBytes -= w.bytes.size();
            if (spareBuffers.size() < kWriteThreads) spareBuffers.push_back(std::move(w.bytes));
            if (deferredBytes == 0) anyDeferred = false;
            deferDone.notify_all();
            // The node's next write may wait for a thread that was busy with it.
            deferWork.notify_all();
        }
    }

    void applyOne(DeferredWrite& w) noexcept {
        // After a failure the file's later writes are not applied: the
        // file must not go on past a gap the program was never told of.
        if (deferredError(w.fh, false)) return;
        Error e;
        int64_t n = -1;
        try {
            n = w.prepared ? delegate->writePreparedFile(w.path, w.data, w.bytes.data(),
                                                         w.bytes.size(), w.offset, &e)
                           : delegate->writeFile(w.path, w.data, w.bytes.data(), w.bytes.size(),
                                                 w.offset, &e);
        } catch (const std::exception& x) {
            consoleLog("UserFileSystem > deferred write > %s", x.what());
            e = Error::posix(EIO);
        } catch (...) {
            consoleLog("UserFileSystem > deferred write > unknown exception");
            e = Error::posix(EIO);
        }
        if (n == static_cast<int64_t>(w.bytes.size())) return;
        failDeferred(w.fh, Error::posix(n >= 0 ? EIO : platform::errnoOrEIO(e)));
    }

    // At the loop's end, before the open files go.
    void stopDeferredWrites() {
        settle();
        {
            std::lock_guard lock(deferMutex);
            stopWriting = true;
        }
        deferWork.notify_all();
        for (auto& t : writeThreads) t.join();
        writeThreads.clear();
        stopWriting = false;
    }

    // The names listed for `node` less than kCacheSeconds ago, if any.
    std::optional<std::vector<std::string>> attributeNames(fuse_ino_t node, uint64_t* generation) {
        std::lock_guard lock(nodesMutex);
        auto it = nodes.find(node);
        if (it == nodes.end()) return std::nullopt;
        *generation = it->second.namesGeneration;
        const auto& n = it->second;
        if (!n.attributeNames || std::chrono::steady_clock::now() - n.namesListed >
                                     std::chrono::duration<double>(kCacheSeconds))
            return std::nullopt;
        return n.attributeNames;
    }
    // Keeps a listing made while the node's names stood at `generation`:
    // one that raced a change through the volume is dropped.
    void rememberAttributeNames(fuse_ino_t node, uint64_t generation,
                                std::vector<std::string> names,
                                std::chrono::steady_clock::time_point listed) {
        std::lock_guard lock(nodesMutex);
        auto it = nodes.find(node);
        if (it == nodes.end() || it->second.namesGeneration != generation) return;
        it->second.attributeNames = std::move(names);
        it->second.namesListed = listed;
    }
    void forgetAttributeNames(fuse_ino_t node) {
        std::lock_guard lock(nodesMutex);
        auto it = nodes.find(node);
        if (it == nodes.end()) return;
        it->second.attributeNames.reset();
        ++it->second.namesGeneration;
    }

    // Whether the page cache of `node` still holds the contents `st`
    // describes; remembers `st` as what it holds from now on.
    bool cacheStillValid(fuse_ino_t node, const struct stat& st) {
        std::lock_guard lock(nodesMutex);
        auto it = nodes.find(node);
        if (it == nodes.end()) return false;
        auto stamp = std::make_pair(st.st_mtim, st.st_size);
        bool valid = it->second.cached && sameStamp(*it->second.cached, stamp);
        it->second.cached = stamp;
        return valid;
    }
};

namespace {

// -errno for a failed call; never -1, and a failure without a POSIX code is EIO.
int fail(const Error& e) {
    return platform::errnoOrEIO(e);
}

// The caller of the request being served, set for the length of a callback.
thread_local std::optional<RequestCaller> tCaller;
thread_local bool tThreadStarted = false;

UserFileSystem::Impl* implOf(fuse_req_t req) {
    return static_cast<UserFileSystem::Impl*>(fuse_req_userdata(req));
}

// Runs one request. `fn` answers it and returns 0, or returns the errno to
// answer with. An exception must never reach libfuse: it would end the
// loop, and with it the volume for every program using it. Deferred writes
// are applied first unless `settling` is false (a write settles itself).
template <typename Fn>
void guarded(fuse_req_t req, const char* op, Fn&& fn, bool settling = true) noexcept {
    if (!tThreadStarted) {
        tThreadStarted = true;
        platform::threadDidStart();  // the loop's worker threads are libfuse's
    }
    int rc = EIO;
    try {
        if (const fuse_ctx* c = fuse_req_ctx(req)) tCaller = RequestCaller{c->uid, c->gid, c->pid};
        if (settling) implOf(req)->settle();
        rc = fn(*implOf(req), *implOf(req)->delegate);
    } catch (const std::exception& e) {
        consoleLog("UserFileSystem > %s > %s", op, e.what());
        rc = EIO;
    } catch (...) {
        consoleLog("UserFileSystem > %s > unknown exception", op);
        rc = EIO;
    }
    tCaller.reset();
    if (rc) fuse_reply_err(req, rc);
}

fuse_entry_param entryFor(fuse_ino_t node, const struct stat& st) {
    fuse_entry_param e{};
    e.ino = node;
    e.attr = st;
    e.attr_timeout = kCacheSeconds;
    e.entry_timeout = kCacheSeconds;
    return e;
}

// Answers a request that made or found `name` in `parent` with its entry.
int replyEntry(fuse_req_t req, UserFileSystem::Impl& fs, UserFileSystemDelegate& d,
               fuse_ino_t parent, const std::string& name, const std::string& path) {
    Error e;
    auto st = d.attributesOfItem(path, nullptr, &e);
    if (!st) return fail(e);
    fuse_entry_param entry = entryFor(fs.remember(parent, name, *st), *st);
    // A raw inode number used again must not inherit what its last item had.
    fs.forgetAttributeNames(entry.ino);
    if (fuse_reply_entry(req, &entry) != 0) fs.forget(entry.ino, 1);
    return 0;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    guarded(req, "lookup", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.childPath(parent, name);
        if (path.empty()) return ENOENT;
        Error e;
        auto st = d.attributesOfItem(path, nullptr, &e);
        if (!st) {
            int rc = fail(e);
            if (rc != ENOENT) return rc;
            // An absent name is remembered for as long as an entry.
            fuse_entry_param none{};
            none.entry_timeout = kCacheSeconds;
            fuse_reply_entry(req, &none);
            return 0;
        }
        fuse_entry_param entry = entryFor(fs.remember(parent, name, *st), *st);
        if (fuse_reply_entry(req, &entry) != 0) fs.forget(entry.ino, 1);
        return 0;
    });
}

void opForget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
    try {
        implOf(req)->forget(ino, nlookup);
    } catch (...) {
    }
    fuse_reply_none(req);
}

void opForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
    try {
        for (size_t i = 0; i < count; ++i) implOf(req)->forget(forgets[i].ino, forgets[i].nlookup);
    } catch (...) {
    }
    fuse_reply_none(req);
}

// The attributes of `ino`, through its open file when the request came
// through one or when it has no name left.
int replyAttributes(fuse_req_t req, UserFileSystem::Impl& fs, UserFileSystemDelegate& d,
                    fuse_ino_t ino, fuse_file_info* fi) {
    std::string path = fs.pathOf(ino);
    FileUserData file = fs.file(fi);
    if (!file && path.empty()) file = fs.anyFile(ino);
    if (!file && path.empty()) return ESTALE;
    Error e;
    auto st = d.attributesOfItem(path, file, &e);
    if (!st) return fail(e);
    fuse_reply_attr(req, &*st, kCacheSeconds);
    return 0;
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    guarded(req, "getattr", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        return replyAttributes(req, fs, d, ino, fi);
    });
}

void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi) {
    guarded(req, "setattr", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        auto now = [] {
            timespec t;
            clock_gettime(CLOCK_REALTIME, &t);
            return t;
        };
        ItemAttributes a;
        if (toSet & FUSE_SET_ATTR_MODE) a.permissions = attr->st_mode & 07777;
        if (toSet & FUSE_SET_ATTR_UID) a.owner = attr->st_uid;
        if (toSet & FUSE_SET_ATTR_GID) a.group = attr->st_gid;
        if (toSet & FUSE_SET_ATTR_SIZE) {
            if (attr->st_size < 0) return EINVAL;
            a.size = static_cast<uint64_t>(attr->st_size);
        }
        if (toSet & FUSE_SET_ATTR_ATIME_NOW)
            a.accessDate = now();
        else if (toSet & FUSE_SET_ATTR_ATIME)
            a.accessDate = attr->st_atim;
        if (toSet & FUSE_SET_ATTR_MTIME_NOW)
            a.modificationDate = now();
        else if (toSet & FUSE_SET_ATTR_MTIME)
            a.modificationDate = attr->st_mtim;
        if (!a.empty()) {
            std::string path = fs.pathOf(ino);
            FileUserData file = fs.file(fi, a.size.has_value());
            if (!file && path.empty()) file = fs.anyFile(ino);
            if (!file && path.empty()) return ESTALE;
            Error e;
            if (!d.setAttributes(a, path, file, &e)) return fail(e);
        }
        return replyAttributes(req, fs, d, ino, fi);
    });
}

void opReadlink(fuse_req_t req, fuse_ino_t ino) {
    guarded(req, "readlink", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.pathOf(ino);
        if (path.empty()) return ENOENT;
        Error e;
        auto target = d.destinationOfSymbolicLink(path, &e);
        if (!target) return fail(e);
        fuse_reply_readlink(req, target->c_str());
        return 0;
    });
}

void opMknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev) {
    guarded(req, "mknod", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.childPath(parent, name);
        if (path.empty()) return ENOENT;
        Error e;
        if (S_ISREG(mode)) {
            // A regular file is made as by an open that creates, then closed.
            ItemAttributes attrs;
            attrs.permissions = mode & 07777;
            FileUserData data;
            bool ok = d.createFile(path, attrs, &data, &e);
            if (data) d.releaseFile(path, std::move(data));
            if (!ok) return fail(e);
        } else if (!d.createSpecialItem(path, mode, rdev, &e)) {
            return fail(e);
        }
        return replyEntry(req, fs, d, parent, name, path);
    });
}

void opMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
    guarded(req, "mkdir", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.childPath(parent, name);
        if (path.empty()) return ENOENT;
        ItemAttributes attrs;
        attrs.permissions = mode & 07777;
        Error e;
        if (!d.createDirectory(path, attrs, &e)) return fail(e);
        return replyEntry(req, fs, d, parent, name, path);
    });
}

void opUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    guarded(req, "unlink", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.childPath(parent, name);
        if (path.empty()) return ENOENT;
        Error e;
        // The raw file really goes; an open file keeps it until its last
        // close, served through its node.
        if (!d.removeItem(path, &e)) return fail(e);
        fs.dropName(parent, name);
        fuse_reply_err(req, 0);
        return 0;
    });
}

void opRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    guarded(req, "rmdir", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.childPath(parent, name);
        if (path.empty()) return ENOENT;
        Error e;
        if (!d.removeDirectory(path, &e)) {
            // Emptied but for files an older server kept for files removed
            // while open: on a local disk the directory goes, and so it does
            // here.
            Error listed;
            auto names = e.isPOSIX() && e.code == ENOTEMPTY ? d.contentsOfDirectory(path, &listed)
                                                            : std::nullopt;
            if (!names || !std::all_of(names->begin(), names->end(), isRemovedWhileOpenName))
                return fail(e);
            for (const auto& n : *names) {
                Error ignored;
                d.removeItem(path + "/" + n, &ignored);
            }
            e = Error();
            if (!d.removeDirectory(path, &e)) return fail(e);
        }
        fs.dropName(parent, name);
        fuse_reply_err(req, 0);
        return 0;
    });
}

void opSymlink(fuse_req_t req, const char* target, fuse_ino_t parent, const char* name) {
    guarded(req, "symlink", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.childPath(parent, name);
        if (path.empty()) return ENOENT;
        Error e;
        if (!d.createSymbolicLink(path, target, &e)) return fail(e);
        return replyEntry(req, fs, d, parent, name, path);
    });
}

void opRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
              const char* newName, unsigned int flags) {
    guarded(req, "rename", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string from = fs.childPath(parent, name);
        std::string to = fs.childPath(newParent, newName);
        if (from.empty() || to.empty()) return ENOENT;
        Error e;
        if (flags & RENAME_EXCHANGE) {
            if (!d.exchangeData(from, to, &e)) return fail(e);
            fs.exchangeNames(parent, name, newParent, newName);
            fuse_reply_err(req, 0);
            return 0;
        }
        if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) return EINVAL;
        if (flags & RENAME_NOREPLACE) {
            Error probe;
            if (d.attributesOfItem(to, nullptr, &probe)) return EEXIST;
        }
        if (!d.moveItem(from, to, &e)) return fail(e);
        fs.moveName(parent, name, newParent, newName);
        fuse_reply_err(req, 0);
        return 0;
    });
}

void opLink(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newParent, const char* newName) {
    guarded(req, "link", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string existing = fs.pathOf(ino);
        std::string path = fs.childPath(newParent, newName);
        if (existing.empty() || path.empty()) return ENOENT;
        Error e;
        if (!d.linkItem(path, existing, &e)) return fail(e);
        return replyEntry(req, fs, d, newParent, newName, path);
    });
}

// Opens or creates: hands the file to the kernel, keeping the node's page
// cache when the contents are what it already holds.
void replyOpen(fuse_req_t req, UserFileSystem::Impl& fs, UserFileSystemDelegate& d, fuse_ino_t ino,
               fuse_file_info* fi, const std::string& path, FileUserData data,
               const fuse_entry_param* created) {
    Error e;
    auto st =
        created ? std::optional<struct stat>(created->attr) : d.attributesOfItem(path, data, &e);
    fi->keep_cache = st && fs.cacheStillValid(ino, *st);
    // A file opened for writing only cannot be mapped, so nothing needs its
    // writes in the page cache: they go to the volume as the program made
    // them, 1 MiB in one request instead of a page-cache page filled per
    // 4 KiB. The kernel drops other opens' cached pages of the range.
    fi->direct_io = (fi->flags & O_ACCMODE) == O_WRONLY;
    // A file opened for reading has nothing to flush: its close costs no
    // round trip to the volume.
    fi->noflush = (fi->flags & O_ACCMODE) == O_RDONLY;
    fi->fh = fs.addFile(ino, std::move(data), fi->direct_io);
    int rc = created ? fuse_reply_create(req, created, fi) : fuse_reply_open(req, fi);
    if (rc != 0) {
        // The open was interrupted: the kernel never got the file.
        if (created) fs.forget(ino, 1);
        if (auto f = fs.takeFile(fi)) d.releaseFile(path, std::move(f->data));
    }
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    guarded(req, "open", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.pathOf(ino);
        if (path.empty()) return ENOENT;
        FileUserData data;
        Error e;
        if (!d.openFile(path, fi->flags, &data, &e)) return fail(e);
        replyOpen(req, fs, d, ino, fi, path, std::move(data), nullptr);
        return 0;
    });
}

void opCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
              fuse_file_info* fi) {
    guarded(req, "create", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.childPath(parent, name);
        if (path.empty()) return ENOENT;
        ItemAttributes attrs;
        attrs.permissions = mode & 07777;
        FileUserData data;
        Error e;
        std::optional<struct stat> st;
        bool ok = d.createFile(path, attrs, &data, &e) && (st = d.attributesOfItem(path, data, &e));
        if (!ok) {
            // A file made but not fully set up is still handed back for release.
            if (data) d.releaseFile(path, std::move(data));
            return fail(e);
        }
        fuse_entry_param entry = entryFor(fs.remember(parent, name, *st), *st);
        fs.forgetAttributeNames(entry.ino);
        replyOpen(req, fs, d, entry.ino, fi, path, std::move(data), &entry);
        return 0;
    });
}

void opRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
    guarded(req, "read", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        FileUserData file = fs.file(fi);
        if (!file) return EBADF;
        thread_local std::vector<char> buffer;
        if (buffer.size() < size) buffer.resize(size);
        Error e;
        int64_t n = d.readFile(fs.pathOf(ino), file, buffer.data(), size, offset, &e);
        if (n < 0) return fail(e);
        fuse_reply_buf(req, buffer.data(), static_cast<size_t>(n));
        return 0;
    });
}

void opWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t offset,
             fuse_file_info* fi) {
    guarded(
        req, "write",
        [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
            bool direct = false;
            FileUserData file = fs.file(fi, true, &direct);
            if (!file) return EBADF;
            if (auto failed = fs.deferredError(fi->fh, false)) return fail(*failed);
            // Only a write that bypassed the page cache: one that filled cached
            // pages would leave them showing bytes that never arrived if it failed.
            // A small one joins its node's deferred writes rather than wait for
            // them (the kernel sends the last bytes of a large write from an
            // unaligned buffer as a request of their own).
            if (direct && (size >= kDeferredWrite || fs.hasDeferred(ino)) &&
                fs.deferWrite(fi->fh, ino, file, fs.pathOf(ino), buf, size, offset)) {
                fuse_reply_write(req, size);
                return 0;
            }
            fs.settle();
            // A deferred write may have failed while this one waited: nothing
            // after a failure is applied, or the file would go on past a gap.
            if (auto failed = fs.deferredError(fi->fh, false)) return fail(*failed);
            Error e;
            int64_t n = d.writeFile(fs.pathOf(ino), file, buf, size, offset, &e);
            if (n < 0) return fail(e);
            fuse_reply_write(req, static_cast<size_t>(n));
            return 0;
        },
        false);
}

void opFlush(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    guarded(req, "flush", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        FileUserData file = fs.file(fi);
        if (!file) return EBADF;
        if (auto failed = fs.deferredError(fi->fh, true)) return fail(*failed);
        Error e;
        if (!d.flushFile(fs.pathOf(ino), file, &e)) return fail(e);
        fuse_reply_err(req, 0);
        return 0;
    });
}

void opRelease(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    guarded(req, "release", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        if (auto f = fs.takeFile(fi)) {
            std::string path = fs.pathOf(ino);
            if (f->deferredError)
                consoleLog("UserFileSystem > release > a write was lost: %s",
                           f->deferredError->description.c_str());
            if (f->wrote && !f->direct) {
                // What was written went through the page cache, which holds
                // the new contents: the next open keeps them.
                Error ignored;
                if (auto st = d.attributesOfItem(path, f->data, &ignored))
                    fs.cacheStillValid(ino, *st);
            }
            d.releaseFile(path, std::move(f->data));
        }
        fuse_reply_err(req, 0);
        return 0;
    });
}

void opFsync(fuse_req_t req, fuse_ino_t ino, int datasync, fuse_file_info* fi) {
    guarded(req, "fsync", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        FileUserData file = fs.file(fi);
        if (!file) return EBADF;
        if (auto failed = fs.deferredError(fi->fh, true)) return fail(*failed);
        Error e;
        if (!d.synchronizeFile(fs.pathOf(ino), file, datasync != 0, &e)) return fail(e);
        fuse_reply_err(req, 0);
        return 0;
    });
}

void opOpendir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    guarded(req, "opendir", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate&) {
        // Freed by RELEASEDIR, or by the loop's end.
        auto* dir = new OpenDirectory;
        {
            std::lock_guard lock(fs.directoriesMutex);
            fs.openDirectories.insert(dir);
        }
        fi->fh = reinterpret_cast<uint64_t>(dir);
        if (fuse_reply_open(req, fi) != 0) {
            {
                std::lock_guard lock(fs.directoriesMutex);
                fs.openDirectories.erase(dir);
            }
            delete dir;
        }
        return 0;
    });
}

// One listing per open directory, read at its start (and again when read
// from the start anew); entry i is at offset i + 1.
void readDirectory(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi,
                   bool plus) {
    guarded(req, plus ? "readdirplus" : "readdir",
            [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
                auto* dir = reinterpret_cast<OpenDirectory*>(fi->fh);
                std::unique_lock lock(dir->mutex);
                if (offset == 0 || !dir->loaded) {
                    std::string path = fs.pathOf(ino);
                    dir->entries.clear();
                    // An open directory that was removed meanwhile is empty.
                    if (!path.empty()) {
                        Error e;
                        auto listed = d.entriesOfDirectory(path, &e);
                        if (!listed) return fail(e);
                        for (auto& entry : *listed)
                            if (!isRemovedWhileOpenName(entry.name))
                                dir->entries.push_back(std::move(entry));
                    }
                    // A listed inode number of 0 would make readdir(3) skip the entry.
                    struct stat self {
                    }, parent{};
                    self.st_mode = parent.st_mode = S_IFDIR;
                    self.st_ino = fs.rawInode(ino);
                    parent.st_ino = fs.rawInode(fs.parentOf(ino));
                    dir->entries.insert(dir->entries.begin(),
                                        {DirectoryEntry{".", self}, DirectoryEntry{"..", parent}});
                    dir->loaded = true;
                }
                std::vector<char> buf(size);
                size_t used = 0;
                for (size_t i = static_cast<size_t>(offset); i < dir->entries.size(); ++i) {
                    const DirectoryEntry& entry = dir->entries[i];
                    char* at = buf.data() + used;
                    size_t left = size - used;
                    off_t next = static_cast<off_t>(i + 1);
                    size_t n;
                    if (plus) {
                        if (fuse_add_direntry_plus(req, nullptr, 0, entry.name.c_str(), nullptr,
                                                   0) > left)
                            break;
                        fuse_entry_param e{};
                        bool dots = entry.name == "." || entry.name == "..";
                        if (entry.attributes && !dots) {
                            e = entryFor(fs.remember(ino, entry.name, *entry.attributes),
                                         *entry.attributes);
                        } else if (entry.attributes) {
                            e.attr.st_ino = entry.attributes->st_ino;
                            e.attr.st_mode = entry.attributes->st_mode & S_IFMT;
                        }
                        n = fuse_add_direntry_plus(req, at, left, entry.name.c_str(), &e, next);
                    } else {
                        struct stat st {};
                        if (entry.attributes) {
                            st.st_ino = entry.attributes->st_ino;
                            st.st_mode = entry.attributes->st_mode & S_IFMT;
                        }
                        n = fuse_add_direntry(req, at, left, entry.name.c_str(), &st, next);
                        if (n > left) break;
                    }
                    used += n;
                }
                // Once answered, the directory may be closed and freed by
                // another loop thread at once: nothing of it is touched past
                // the reply, its lock included.
                lock.unlock();
                fuse_reply_buf(req, buf.data(), used);
                return 0;
            });
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
    readDirectory(req, ino, size, offset, fi, false);
}

void opReaddirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
    readDirectory(req, ino, size, offset, fi, true);
}

void opReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    auto* dir = reinterpret_cast<OpenDirectory*>(fi->fh);
    {
        UserFileSystem::Impl& fs = *implOf(req);
        std::lock_guard lock(fs.directoriesMutex);
        fs.openDirectories.erase(dir);
    }
    delete dir;
    fuse_reply_err(req, 0);
}

void opStatfs(fuse_req_t req, fuse_ino_t ino) {
    guarded(req, "statfs", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.pathOf(ino);
        Error e;
        auto st = d.attributesOfFileSystem(path.empty() ? "/" : path, &e);
        if (!st) return fail(e);
        fuse_reply_statfs(req, &*st);
        return 0;
    });
}

void opSetxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value, size_t size,
                int flags) {
    guarded(req, "setxattr", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.pathOf(ino);
        if (path.empty()) return ENOENT;
        std::vector<uint8_t> bytes(value, value + size);
        Error e;
        bool ok = d.setExtendedAttribute(name, path, bytes, 0, flags, &e);
        fs.forgetAttributeNames(ino);  // failed or not: what is there now is listed anew
        if (!ok) return fail(e);
        fuse_reply_err(req, 0);
        return 0;
    });
}

// The answer to a get or list of extended attributes: the size when asked
// for it, else the bytes when they fit.
int replyXattr(fuse_req_t req, const char* bytes, size_t length, size_t size) {
    if (size == 0) {
        fuse_reply_xattr(req, length);
        return 0;
    }
    if (length > size) return ERANGE;
    fuse_reply_buf(req, bytes, length);
    return 0;
}

// The names of `node`'s extended attributes: as listed less than the cache
// time ago, else listed now. Nothing for an item without a name left.
std::optional<std::vector<std::string>> attributeNamesOf(UserFileSystem::Impl& fs,
                                                         UserFileSystemDelegate& d, fuse_ino_t node,
                                                         const std::string& path, Error* error) {
    uint64_t generation = 0;
    if (auto cached = fs.attributeNames(node, &generation)) return cached;
    if (path.empty()) return std::vector<std::string>{};
    auto listedAt = Clock::now();
    auto names = d.extendedAttributes(path, error);
    if (names) fs.rememberAttributeNames(node, generation, *names, listedAt);
    return names;
}

void opGetxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
    guarded(req, "getxattr", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.pathOf(ino);
        if (path.empty()) return ENODATA;
        Error e;
        // A folder that cannot list them is asked for the one name instead.
        if (auto names = attributeNamesOf(fs, d, ino, path, &e);
            names && std::find(names->begin(), names->end(), name) == names->end())
            return ENODATA;
        e = Error();
        auto v = d.valueOfExtendedAttribute(name, path, 0, &e);
        if (!v) return fail(e);
        return replyXattr(req, reinterpret_cast<const char*>(v->data()), v->size(), size);
    });
}

void opListxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
    guarded(req, "listxattr", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        Error e;
        auto names = attributeNamesOf(fs, d, ino, fs.pathOf(ino), &e);
        if (!names) return fail(e);
        std::string all;
        for (const auto& n : *names) all.append(n.c_str(), n.size() + 1);
        return replyXattr(req, all.data(), all.size(), size);
    });
}

void opRemovexattr(fuse_req_t req, fuse_ino_t ino, const char* name) {
    guarded(req, "removexattr", [&](UserFileSystem::Impl& fs, UserFileSystemDelegate& d) {
        std::string path = fs.pathOf(ino);
        if (path.empty()) return ENODATA;
        Error e;
        bool ok = d.removeExtendedAttribute(name, path, &e);
        fs.forgetAttributeNames(ino);
        if (!ok) return fail(e);
        fuse_reply_err(req, 0);
        return 0;
    });
}

void opInit(void* userdata, fuse_conn_info* conn) {
    conn->max_write = 1u << 20;
    conn->max_readahead = kReadaheadKiB << 10;
    // A change of size or modification time seen when the attributes are
    // asked for again (after the cache time) drops the cached contents: a
    // change behind the volume's back is not read stale for longer.
    if (conn->capable & FUSE_CAP_AUTO_INVAL_DATA) conn->want |= FUSE_CAP_AUTO_INVAL_DATA;
    // An open with O_TRUNC then arrives as a truncation of its own, which the
    // delegate serves like any other; open never has to look at the flag.
    conn->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;
    // Before the first request is served.
    try {
        static_cast<UserFileSystem::Impl*>(userdata)->delegate->willMount();
    } catch (const std::exception& e) {
        consoleLog("UserFileSystem > init > %s", e.what());
    } catch (...) {
        consoleLog("UserFileSystem > init > unknown exception");
    }
}

fuse_lowlevel_ops makeOperations() {
    fuse_lowlevel_ops ops{};
    ops.init = opInit;
    ops.lookup = opLookup;
    ops.forget = opForget;
    ops.forget_multi = opForgetMulti;
    ops.getattr = opGetattr;
    ops.setattr = opSetattr;
    ops.readlink = opReadlink;
    ops.mknod = opMknod;
    ops.mkdir = opMkdir;
    ops.unlink = opUnlink;
    ops.rmdir = opRmdir;
    ops.symlink = opSymlink;
    ops.rename = opRename;
    ops.link = opLink;
    ops.open = opOpen;
    ops.create = opCreate;
    ops.read = opRead;
    ops.write = opWrite;
    ops.flush = opFlush;
    ops.release = opRelease;
    ops.fsync = opFsync;
    ops.opendir = opOpendir;
    ops.readdir = opReaddir;
    ops.readdirplus = opReaddirplus;
    ops.releasedir = opReleasedir;
    ops.statfs = opStatfs;
    ops.setxattr = opSetxattr;
    ops.getxattr = opGetxattr;
    ops.listxattr = opListxattr;
    ops.removexattr = opRemovexattr;
    // copy_file_range stays unset: the kernel then copies through read and
    // write, so ciphertext never moves between files as it is.
    return ops;
}

const fuse_lowlevel_ops kOperations = makeOperations();

// FUSE option values must not carry the separators of "-o a=b,c".
std::string optionValue(const std::string& v) {
    std::string out;
    for (char c : v) {
        if (c == ',' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// "major:minor" of the file system mounted at `path` (the last mount there
// wins, as it is the one seen), or nullopt when nothing is mounted there.
// Read from mountinfo so that nothing asks the volume itself, which may not
// serve yet or be busy.
std::optional<std::string> mountDevice(const std::string& mountPath) {
    // The kernel lists the resolved path; only the parent is resolved here, so
    // that nothing looks at the mount point itself.
    std::filesystem::path given(mountPath);
    std::error_code ec;
    std::filesystem::path parent = std::filesystem::weakly_canonical(given.parent_path(), ec);
    const std::string path = ec ? mountPath : (parent / given.filename()).string();
    std::optional<std::string> device;
    for (const platform::MountEntry& entry : platform::mountTable())
        if (entry.point == path) device = entry.device;
    return device;
}

// The kernel caps a volume's readahead at 128 KiB unless told otherwise.
// Only root may raise it; elsewhere the default stays.
void raiseReadahead(const std::string& path, unsigned kib) {
    auto device = mountDevice(path);
    if (!device) return;
    platform::UniqueFd ra(
        ::open(("/sys/class/bdi/" + *device + "/read_ahead_kb").c_str(), O_WRONLY | O_CLOEXEC));
    if (!ra.ok()) return;
    const std::string text = std::to_string(kib) + "\n";
    [[maybe_unused]] const ssize_t written = ::write(ra.get(), text.data(), text.size());
}

// Every open file on the volume holds a descriptor of the server's, so the
// desktop's usual soft limit (1,024) would cap all programs together at about
// a thousand open files. The hard limit is what is left; past it an open
// fails with EMFILE, as it does for a program past its own.
void raiseOpenFileLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        consoleLog("UserFileSystem > cannot raise the open file limit: %s", std::strerror(errno));
}

// Unmount without detaching: a volume in use stays and the caller hears EBUSY.
int unmountNow(const std::string& path) {
    if (geteuid() == 0) return umount2(path.c_str(), 0) == 0 ? 0 : errno;
    platform::Error error;
    const auto status = platform::runProcess({"fusermount3", "-u", "-q", path}, &error);
    if (!status) return static_cast<int>(error.code);
    if (*status == 0) return 0;
    return isMountPoint(path) ? EBUSY : 0;
}

}  // namespace

std::optional<RequestCaller> currentRequestCaller() {
    return tCaller;
}

bool isMountPoint(const std::string& path) {
    return mountDevice(path).has_value();
}

bool isRemovedWhileOpenName(std::string_view name) {
    constexpr std::string_view prefix = ".fuse_hidden";
    return name.size() == prefix.size() + 16 && name.substr(0, prefix.size()) == prefix &&
           std::all_of(name.begin() + prefix.size(), name.end(),
                       [](char ch) { return std::isxdigit(static_cast<unsigned char>(ch)); });
}

UserFileSystem::UserFileSystem(std::shared_ptr<UserFileSystemDelegate> delegate)
    : impl_(std::make_unique<Impl>()) {
    impl_->delegate = std::move(delegate);
}

UserFileSystem::~UserFileSystem() {
    if (isMounted() && !unmount()) {
        // Still in use: detach it so the loop ends once the last file closes.
        umount2(impl_->mountPath.c_str(), MNT_DETACH);
    }
    waitUntilUnmounted();
}

void UserFileSystem::setEventHandler(EventHandler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

bool UserFileSystem::mountAtPath(const std::string& path, const std::vector<std::string>& options,
                                 Error* error) {
    auto failWith = [&](Error e) {
        impl_->post({UserFileSystemEvent::Kind::MountFailed, path, e});
        setError(error, std::move(e));
        return false;
    };
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->mounted || impl_->loop.joinable())
            return failWith(Error::posix(EBUSY, "the volume is already mounted"));
    }
    std::error_code ec;
    bool created = std::filesystem::create_directories(path, ec);
    if (ec) return failWith(Error::posix(ec.value(), "cannot create mount point " + path));

    raiseOpenFileLimit();
    std::vector<std::string> args = {"tessaro", "-o", "default_permissions,auto_unmount"};
    // The kernel then refuses every change itself, at open, and statvfs says so.
    if (impl_->delegate && impl_->delegate->isReadOnlyVolume()) {
        args.push_back("-o");
        args.push_back("ro");
    }
    std::string volname;
    for (const auto& o : options) {
        if (o.rfind("volname=", 0) == 0) {
            volname = o.substr(8);
        } else if (o.rfind("volicon=", 0) == 0) {
            continue;  // no volume icons here
        } else if (!o.empty()) {
            args.push_back("-o");
            args.push_back(o);
        }
    }
    args.push_back("-o");
    args.push_back("subtype=tessaro,fsname=" + optionValue(volname.empty() ? "tessaro" : volname));

    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    fuse_args fargs = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    fuse_session* f = fuse_session_new(&fargs, &kOperations, sizeof kOperations, impl_.get());
    fuse_opt_free_args(&fargs);
    auto removeCreated = [&] {
        if (created) std::filesystem::remove(path, ec);
    };
    if (!f) {
        removeCreated();
        return failWith(Error::posix(EINVAL, "the FUSE session could not be created"));
    }
    if (fuse_session_mount(f, path.c_str()) != 0) {
        int err = platform::errnoOrEIO(errno);
        fuse_session_destroy(f);
        removeCreated();
        return failWith(Error::posix(err, "cannot mount the volume at " + path));
    }
    raiseReadahead(path, kReadaheadKiB);
    if (!endLoopQuietlyOnAbort(f))
        consoleLog("UserFileSystem > mount > the loop reads requests as libfuse does");
    {
        std::lock_guard lock(impl_->mutex);
        impl_->session = f;
        impl_->mountPath = path;
        impl_->createdMountPoint = created;
        impl_->mounted = true;
    }
    Impl* impl = impl_.get();
    impl_->loop = std::thread([impl] {
        platform::threadDidStart();
        // Requests are served concurrently; per-file order comes from the
        // handle's locks, and the node tables are locked of their own.
        fuse_loop_config config{};
        config.clone_fd = 0;
        config.max_idle_threads = kLoopThreads;
        fuse_session_loop_mt(impl->session, &config);
        impl->stopDeferredWrites();
        fuse_session_unmount(impl->session);
        fuse_session_destroy(impl->session);
        {
            std::lock_guard lock(impl->directoriesMutex);
            for (OpenDirectory* dir : impl->openDirectories) delete dir;
            impl->openDirectories.clear();
        }
        {
            std::lock_guard lock(impl->nodesMutex);
            impl->files.clear();
            impl->nodes.clear();
            impl->byIdentity.clear();
            impl->byName.clear();
        }
        std::string mountedAt;
        {
            std::lock_guard lock(impl->mutex);
            impl->session = nullptr;
            impl->mounted = false;
            mountedAt = impl->mountPath;
            if (impl->createdMountPoint) {
                std::error_code removeError;
                std::filesystem::remove(mountedAt, removeError);
            }
        }
        impl->post({UserFileSystemEvent::Kind::DidUnmount, mountedAt, {}});
    });
    impl_->post({UserFileSystemEvent::Kind::DidMount, path, {}});
    return true;
}

bool UserFileSystem::unmount(Error* error) {
    std::string path;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->mounted) {
            setError(error, Error::posix(EINVAL, "the volume is not mounted"));
            return false;
        }
        path = impl_->mountPath;
    }
    int rc = unmountNow(path);
    if (rc != 0) {
        setError(error, Error::posix(rc, rc == EBUSY ? "the volume is in use" : ""));
        return false;
    }
    return true;
}

void UserFileSystem::waitUntilUnmounted() {
    if (impl_->loop.joinable() && impl_->loop.get_id() != std::this_thread::get_id())
        impl_->loop.join();
}

bool UserFileSystem::isMounted() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->mounted;
}

const std::string& UserFileSystem::mountPath() const {
    return impl_->mountPath;
}

const std::shared_ptr<UserFileSystemDelegate>& UserFileSystem::delegate() const {
    return impl_->delegate;
}

}  // namespace platform
