#pragma once
// A real unlocked folder for the browser tests, with helpers to make items
// through the handle and read them back.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "FileSystem/QVFileSystem.h"
#include "support/FolderBuilder.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

class BrowserFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = tmp_ / "box.zel";
        ASSERT_TRUE(testsupport::makeEncryptedFolder(folder_, {{"ann", "secret"}}));
        fs_ = std::make_shared<QVFileSystem>();
        ASSERT_TRUE(fs_->mountEncryptedFolder(folder_.string(), "ann", "secret"));
    }

    void mkdir(const std::string& path) { ASSERT_TRUE(fs_->createDirectoryAtPath(path)); }

    void put(const std::string& path, const std::string& text) {
        auto f = fs_->openFileAtPath(path, false, true);
        ASSERT_TRUE(f) << path;
        ASSERT_TRUE(fs_->writeData(std::vector<uint8_t>(text.begin(), text.end()), f));
        ASSERT_TRUE(fs_->closeFile(f));
    }

    std::string get(const std::string& path) {
        auto f = fs_->openFileAtPath(path, true, false);
        if (!f) return "<missing>";
        auto bytes = fs_->readDataFromFile(f, 1 << 20);
        fs_->closeFile(f);
        return bytes ? std::string(bytes->begin(), bytes->end()) : "<unreadable>";
    }

    bool exists(const std::string& path) { return fs_->fileExistsAtPath(path); }

    testsupport::TempDir tmp_{"tessaro-browser"};
    std::filesystem::path folder_;
    std::shared_ptr<QVFileSystem> fs_;
    testsupport::ManualClock clock_;
};

#include "app/QVAppDelegate.h"

inline std::string QVAppDelegateBytes(int64_t n) {
    return QVAppDelegate::siUnitStringForBytes(n);
}
