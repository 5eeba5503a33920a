#pragma once
// Pieces of a slash-separated path, taken from the text alone: nothing is
// looked up on disk, and ".", ".." and doubled slashes count as written
// (clean a path first where that matters; a folder's paths go through
// FolderPaths::relative).
//
// Trailing slashes never count: "a/b/" is "a/b", and "/" stays the root.
//
//   lastComponent("/a/b/")   "b"        parentPath("/a/b/")  "/a"
//   lastComponent("/")       ""         parentPath("/a")     "/"
//   lastComponent("b")       "b"        parentPath("b")      ""
//   liesWithin("/a/b", "/a/")  true     liesWithin("/a/bc", "/a/b")  false

#include <string_view>

namespace platform {

// The last component; "" for "/" and "".
std::string_view lastComponent(std::string_view path);

// Everything before the last component, without its trailing slashes; "/" for
// a component right below the root, "" when there is no slash.
std::string_view parentPath(std::string_view path);

// Whether `path` is `dir` or lies below it, compared by whole components. "/"
// holds every absolute path and no relative one; "" holds nothing (callers
// whose root is "" say so themselves).
bool liesWithin(std::string_view path, std::string_view dir);

}  // namespace platform
