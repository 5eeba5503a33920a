#pragma once
// The volumes this process serves for its folders, by the folder's real
// directory. A copy between the desktop and a folder looks here, so that the
// folder's own volume is never the other side of the copy (reading the
// volume while writing the folder would never end).
//
//   QVMountedVolumes::add(this, "/home/u/box.zel", "/media/u/box");
//   QVMountedVolumes::mountPathsOf("/home/u/box.zel");   // {"/media/u/box"}
//   QVMountedVolumes::remove(this);
//
// Safe from any thread.

#include <string>
#include <vector>

namespace QVMountedVolumes {

// `owner` serves `folderPath` at `mountPath`; a second call for one owner
// replaces its entry. Both paths are kept as real paths where they resolve.
void add(const void* owner, const std::string& folderPath, const std::string& mountPath);
void remove(const void* owner);
// The mount paths (real paths) of the volumes that serve the folder whose
// real directory is `folderRealPath`.
std::vector<std::string> mountPathsOf(const std::string& folderRealPath);

}  // namespace QVMountedVolumes
