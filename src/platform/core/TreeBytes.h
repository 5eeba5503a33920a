#pragma once
// What a tree of files holds, summed without following any link below its
// root, so nothing outside the tree and nothing twice is counted.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// How a caller's tree is counted.
struct TreeRules {
    // A name answered true is left out with everything below it (each caller
    // has its own rule for hidden names); none: nothing is left out.
    std::function<bool(std::string_view name)> skip;
    // A link at the root itself is followed (a folder the user named through
    // a link) instead of counting as a link.
    bool followRootLink = false;
    // A link counts the length of its target text: the bytes a copy that
    // keeps links writes for it. Otherwise it counts nothing.
    bool countLinkLengths = false;
};

struct TreeTally {
    std::int64_t bytes = 0;  // of the regular files (and links, when they count)
    std::int64_t items = 0;  // entries below the root that were not skipped
};

// The tree at `path`: a regular file is its own size, a directory the sum of
// what lies below it, anything else nothing. What cannot be read counts
// nothing; the rest is summed.
TreeTally tallyTree(const std::string& path, const TreeRules& rules = {});

// The same for `name` in the directory `atFd`; "" names `atFd` itself (an
// O_PATH descriptor will do).
TreeTally tallyTree(int atFd, const std::string& name, const TreeRules& rules = {});

}  // namespace platform
