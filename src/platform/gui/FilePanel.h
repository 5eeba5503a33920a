#pragma once
// Open and save panels over QFileDialog, opened without a nested event loop:
// as a sheet on a window, or on their own.
//
//   platform::FilePanel p;
//   p.canChooseDirectories = true;
//   p.allowedFileTypes = {"zel"};
//   p.open(window, [](int result, std::vector<std::string> paths) { ... });

#include <functional>
#include <string>
#include <vector>

class QFileDialog;
class QWidget;

namespace platform {

struct FilePanel {
    // Results: 1 confirmed, 0 cancelled.
    static constexpr int kOK = 1;
    static constexpr int kCancel = 0;

    bool save = false;  // a save panel: one path that need not exist
    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    bool allowsMultipleSelection = false;
    bool canCreateDirectories = true;
    // File name extensions without the dot; empty = everything. With files
    // and directories both choosable, a directory with an allowed extension
    // (any directory when none is given) is chosen like a file; others are
    // entered.
    std::vector<std::string> allowedFileTypes;
    std::string title;
    std::string message;
    std::string prompt;          // the confirm button's title
    std::string directory;       // where it starts; "" = the home folder
    std::string nameFieldValue;  // save panels

    using Completion = std::function<void(int result, std::vector<std::string> paths)>;

    // The dialog deletes itself once closed. Returns it (tests answer it).
    QFileDialog* open(QWidget* window, Completion completion) const;
};

}  // namespace platform
