// tessaro_bench_volume <folder> <mount point>: makes an encrypted folder at
// <folder> (AES-256, user "bench"), unlocks it and serves it as a volume at
// <mount point> until SIGTERM or SIGINT.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "FileSystem/QVFileSystem.h"
#include "mounting/QVFuseLoopbackFS.h"
#include "platform/fuse/UserFileSystem.h"
#include "support/BenchFolder.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <folder> <mount point>\n", argv[0]);
        return 2;
    }
    // The volume's thread inherits the mask, so only sigwait sees these.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    if (!bench::makeBenchFolder(argv[1])) return 1;
    auto fs = std::make_shared<QVFileSystem>();
    if (!fs->mountEncryptedFolder(std::string(argv[1]), std::string("bench"),
                                  std::string("bench"))) {
        std::fprintf(stderr, "cannot unlock the folder\n");
        return 1;
    }
    auto loopback = std::make_shared<QVFuseLoopbackFS>(fs, nullptr);
    loopback->setMountPath(argv[2]);
    platform::UserFileSystem volume(loopback);
    platform::Error e;
    if (!volume.mountAtPath(argv[2], {"volname=bench"}, &e)) {
        std::fprintf(stderr, "cannot mount: %s\n", e.description.c_str());
        return 1;
    }
    int sig;
    sigwait(&stop, &sig);
    // Unmounted already (fusermount3 -u) ends the wait as well.
    while (volume.isMounted() && !volume.unmount(&e)) usleep(100000);
    volume.waitUntilUnmounted();
    loopback->volumeDidUnmount();
    return 0;
}
