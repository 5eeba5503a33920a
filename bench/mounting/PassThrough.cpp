// tessaro_bench_passthrough <directory> <mount point> [direct]: serves a plain
// directory through libfuse's low-level API without encryption, on the same
// multi-threaded loop and request size as a Tessaro volume, until SIGTERM or
// SIGINT. "direct" serves opens for writing only without the page cache, as
// the volume does. Only what the benchmark's dd needs is served: the floor of
// a FUSE write on this kernel, not a file system.
#define FUSE_USE_VERSION 35
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::string g_root;
bool g_direct = false;
std::mutex g_mutex;
std::map<fuse_ino_t, std::string> g_paths;  // node (the raw inode) -> path

std::string pathOf(fuse_ino_t ino) {
    std::lock_guard lock(g_mutex);
    auto it = g_paths.find(ino);
    return it == g_paths.end() ? std::string() : it->second;
}

fuse_ino_t nodeOf(const struct stat& st, const std::string& path) {
    std::lock_guard lock(g_mutex);
    g_paths[st.st_ino] = path;
    return st.st_ino;
}

void replyEntry(fuse_req_t req, const std::string& path, fuse_file_info* created) {
    fuse_entry_param e{};
    if (lstat(path.c_str(), &e.attr) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    e.ino = nodeOf(e.attr, path);
    e.attr.st_ino = e.ino;
    e.attr_timeout = e.entry_timeout = 1.0;
    if (created)
        fuse_reply_create(req, &e, created);
    else
        fuse_reply_entry(req, &e);
}

void opInit(void*, fuse_conn_info* conn) {
    conn->max_write = 1u << 20;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    replyEntry(req, pathOf(parent) + "/" + name, nullptr);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    struct stat st;
    if (lstat(pathOf(ino).c_str(), &st) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    st.st_ino = ino;
    fuse_reply_attr(req, &st, 1.0);
}

void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info*) {
    if ((toSet & FUSE_SET_ATTR_SIZE) && truncate(pathOf(ino).c_str(), attr->st_size) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    opGetattr(req, ino, nullptr);
}

void opUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_reply_err(req, unlink((pathOf(parent) + "/" + name).c_str()) == 0 ? 0 : errno);
}

void setUp(fuse_file_info* fi, int fd) {
    fi->fh = static_cast<uint64_t>(fd);
    fi->direct_io = g_direct && (fi->flags & O_ACCMODE) == O_WRONLY;
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    int fd = open(pathOf(ino).c_str(), (fi->flags & ~(O_CREAT | O_EXCL | O_NOCTTY)) | O_CLOEXEC);
    if (fd < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    setUp(fi, fd);
    fuse_reply_open(req, fi);
}

void opCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
              fuse_file_info* fi) {
    std::string path = pathOf(parent) + "/" + name;
    int fd = open(path.c_str(), fi->flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    setUp(fi, fd);
    replyEntry(req, path, fi);
}

void opRead(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
    thread_local std::string buf;
    buf.resize(size);
    ssize_t n = pread(static_cast<int>(fi->fh), buf.data(), size, off);
    if (n < 0)
        fuse_reply_err(req, errno);
    else
        fuse_reply_buf(req, buf.data(), static_cast<size_t>(n));
}

void opWrite(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t off,
             fuse_file_info* fi) {
    ssize_t n = pwrite(static_cast<int>(fi->fh), buf, size, off);
    if (n < 0)
        fuse_reply_err(req, errno);
    else
        fuse_reply_write(req, static_cast<size_t>(n));
}

void opFlush(fuse_req_t req, fuse_ino_t, fuse_file_info*) {
    fuse_reply_err(req, 0);
}

void opRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    close(static_cast<int>(fi->fh));
    fuse_reply_err(req, 0);
}

void opFsync(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) {
    int fd = static_cast<int>(fi->fh);
    fuse_reply_err(req, (datasync ? fdatasync(fd) : fsync(fd)) == 0 ? 0 : errno);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <directory> <mount point> [direct]\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    g_direct = argc > 3 && std::strcmp(argv[3], "direct") == 0;
    g_paths[FUSE_ROOT_ID] = g_root;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    fuse_lowlevel_ops ops{};
    ops.init = opInit;
    ops.lookup = opLookup;
    ops.getattr = opGetattr;
    ops.setattr = opSetattr;
    ops.unlink = opUnlink;
    ops.open = opOpen;
    ops.create = opCreate;
    ops.read = opRead;
    ops.write = opWrite;
    ops.flush = opFlush;
    ops.release = opRelease;
    ops.fsync = opFsync;
    char name[] = "passthrough", o[] = "-o", opts[] = "default_permissions";
    char* args[] = {name, o, opts};
    fuse_args fargs = FUSE_ARGS_INIT(3, args);
    fuse_session* se = fuse_session_new(&fargs, &ops, sizeof ops, nullptr);
    if (!se || fuse_session_mount(se, argv[2]) != 0) return 1;
    std::thread loop([se] {
        fuse_loop_config config{};
        config.max_idle_threads = 10;
        fuse_session_loop_mt(se, &config);
    });
    int sig;
    sigwait(&stop, &sig);
    fuse_session_exit(se);
    fuse_session_unmount(se);  // ends the loop's wait for requests
    loop.join();
    fuse_session_destroy(se);
    return 0;
}
