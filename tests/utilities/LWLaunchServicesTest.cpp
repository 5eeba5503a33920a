#include "utilities/LWLaunchServices.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "platform/core/UserDefaults.h"
#include "platform/desktop/FileURL.h"
#include "support/FreshProcess.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using platform::fileURLForPath;

namespace {

constexpr auto kLogin = LWSharedFileList::SessionLoginItems;
constexpr auto kFavourites = LWSharedFileList::FavoriteVolumes;

// Every file of a folder with its bytes: "untouched" means equal maps.
std::map<std::string, std::string> contents(const fs::path& dir) {
    std::map<std::string, std::string> m;
    for (const auto& e : fs::directory_iterator(dir))
        m[e.path().filename().string()] =
            e.is_regular_file() ? testsupport::readFile(e.path()) : "<not a file>";
    return m;
}

std::vector<std::optional<std::string>> urls(LWSharedFileList list) {
    std::vector<std::optional<std::string>> u;
    for (const auto& item : LWLaunchServices::allItemsFromList(list)) u.push_back(item.url);
    return u;
}

TEST(LWLaunchServices, LoginItemsListEveryEntryButTouchOnlyOurs) {
    testsupport::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    EXPECT_TRUE(LWLaunchServices::allItemsFromList(kLogin).empty());

    const fs::path autostart = config / "autostart";
    fs::create_directories(autostart);
    testsupport::writeFile(autostart / "a-other.desktop",
                           "[Desktop Entry]\nType=Application\nName=Other\nExec=/bin/sh -c true\n"
                           "Icon=other\n");
    testsupport::writeFile(
        autostart / "b-off.desktop",
        "[Desktop Entry]\nType=Application\nName=Off\nExec=/bin/sh\nHidden=true\n");
    testsupport::writeFile(
        autostart / "c-gone.desktop",
        "[Desktop Entry]\nType=Application\nName=Gone\nExec=\"/nonexistent/x y\"\n");
    // An old entry of ours that the user switched off: not an item, so never cleared.
    testsupport::writeFile(autostart / "d-ours-hidden.desktop",
                           "[Desktop Entry]\nType=Application\nName=T\nExec=/bin/sh\nHidden=true\n"
                           "X-Tessaro-LoginItem=true\n");
    testsupport::writeFile(autostart / "notes.txt", "not an entry");
    ASSERT_EQ(mkfifo((autostart / "e-fifo.desktop").c_str(), 0600), 0);  // must not hang

    const fs::path program = config / "My Apps/Tessaro 100%";
    fs::create_directories(program.parent_path());
    testsupport::writeFile(program, "#!/bin/sh\n");
    const std::string self = fileURLForPath(program.string());
    ASSERT_TRUE(LWLaunchServices::addItemWithURL(self, kLogin));
    const auto theirs = contents(autostart);

    auto items = LWLaunchServices::allItemsFromList(kLogin);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].name, "Other");
    EXPECT_EQ(items[0].url, "file:///bin/sh");
    EXPECT_EQ(items[0].icon, "other");
    EXPECT_EQ(items[1].name, "Gone");
    EXPECT_EQ(items[1].url, std::nullopt);
    EXPECT_EQ(items[2].name, "Tessaro");
    EXPECT_EQ(items[2].url, self);
    EXPECT_EQ(LWLaunchServices::indexOfItemWithURL(self, kLogin), 2u);

    // Not in the list, not ours, no such index: false, and not a byte changes.
    EXPECT_EQ(LWLaunchServices::indexOfItemWithURL("file:///usr/bin/none", kLogin),
              LWLaunchServices::kNotFound);
    EXPECT_FALSE(LWLaunchServices::removeItemWithURL("file:///usr/bin/none", kLogin));
    EXPECT_FALSE(LWLaunchServices::removeItemWithURL("file:///bin/sh", kLogin));
    EXPECT_FALSE(LWLaunchServices::removeItemWithIndex(0, kLogin));
    EXPECT_FALSE(LWLaunchServices::removeItemWithIndex(3, kLogin));
    EXPECT_FALSE(LWLaunchServices::removeItemWithIndex(LWLaunchServices::kNotFound, kLogin));
    EXPECT_EQ(contents(autostart), theirs);

    // Our program gone (moved, uninstalled): listed without a URL, still removable by it.
    fs::remove(program);
    EXPECT_EQ(urls(kLogin)[2], std::nullopt);
    EXPECT_EQ(LWLaunchServices::indexOfItemWithURL(self, kLogin), 2u);
    ASSERT_TRUE(LWLaunchServices::removeItemWithURL(self, kLogin));
    EXPECT_EQ(LWLaunchServices::allItemsFromList(kLogin).size(), 2u);

    // Another program's entry that starts the same binary comes first; ours still goes.
    ASSERT_TRUE(LWLaunchServices::addItemWithURL("file:///bin/sh", kLogin));
    EXPECT_EQ(LWLaunchServices::indexOfItemWithURL("file:///bin/sh", kLogin), 0u);
    ASSERT_TRUE(LWLaunchServices::removeItemWithURL("file:///bin/sh", kLogin));
    auto left = contents(autostart);
    left.erase("tessaro.desktop");
    auto expected = theirs;
    expected.erase("tessaro.desktop");
    EXPECT_EQ(left, expected);
    EXPECT_FALSE(fs::exists(autostart / "tessaro.desktop"));

    ASSERT_TRUE(LWLaunchServices::addItemWithURL("file:///bin/sh", kLogin));
    ASSERT_TRUE(LWLaunchServices::clearList(kLogin));
    EXPECT_FALSE(fs::exists(autostart / "tessaro.desktop"));
    EXPECT_EQ(contents(autostart), expected);
    EXPECT_TRUE(LWLaunchServices::clearList(kLogin));  // nothing of ours left: still success

    EXPECT_FALSE(LWLaunchServices::addItemWithURL("https://example.com/app", kLogin));
}

TEST(LWLaunchServices, FavouritesMatchTheStoredURLAndClearOnlyOurVolumes) {
    testsupport::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    const fs::path root = config / "volumes";
    platform::UserDefaults::standard().setObject("mountRoot", platform::Value(root.string()));
    EXPECT_TRUE(LWLaunchServices::allItemsFromList(kFavourites).empty());

    fs::create_directories(config / "Mine");
    fs::create_directories(root / "Docs-decrypted");
    const std::string mine = fileURLForPath((config / "Mine").string());
    // The user's own: a folder with a label, the mount root itself, a path
    // that only looks as if it were under the root, a comment, a remote place.
    const std::string others = mine + " My things\r\n" + fileURLForPath(root.string()) + "\n" +
                               fileURLForPath(root.string() + "/../Mine") + "\n" +
                               fileURLForPath(root.string() + "x/y") +
                               "\n# not a bookmark\n\nsftp://host/srv/Share%20d";
    fs::create_directories(config / "gtk-3.0");
    const fs::path file = config / "gtk-3.0" / "bookmarks";
    testsupport::writeFile(file, others);

    const std::string docs = fileURLForPath((root / "Docs-decrypted").string());
    const std::string old = fileURLForPath((root / "Old-decrypted 1").string());  // never made
    ASSERT_TRUE(LWLaunchServices::addItemWithURL(docs, kFavourites));
    ASSERT_TRUE(LWLaunchServices::addItemWithURL(docs, kFavourites));  // once only
    ASSERT_TRUE(LWLaunchServices::addItemWithURL(old, kFavourites));
    const std::string before = testsupport::readFile(file);
    EXPECT_EQ(before, others + "\n" + docs + "\n" + old + "\n");

    auto items = LWLaunchServices::allItemsFromList(kFavourites);
    ASSERT_EQ(items.size(), 7u);
    EXPECT_EQ(items[0].name, "My things");
    EXPECT_EQ(items[0].url, mine);
    EXPECT_FALSE(items[0].icon.empty());
    EXPECT_EQ(items[4].name, "Share d");
    EXPECT_EQ(items[4].url, "sftp://host/srv/Share%20d");
    EXPECT_EQ(items[5].name, "Docs-decrypted");
    EXPECT_EQ(items[5].url, docs);
    EXPECT_EQ(items[6].name, "Old-decrypted 1");
    EXPECT_EQ(items[6].url, std::nullopt);
    EXPECT_EQ(items[6].icon, "");
    EXPECT_EQ(LWLaunchServices::indexOfItemWithURL(docs, kFavourites), 5u);

    EXPECT_FALSE(LWLaunchServices::removeItemWithURL(mine + "/x", kFavourites));
    EXPECT_FALSE(LWLaunchServices::removeItemWithIndex(7, kFavourites));
    EXPECT_FALSE(LWLaunchServices::removeItemWithIndex(LWLaunchServices::kNotFound, kFavourites));
    EXPECT_EQ(testsupport::readFile(file), before);

    // The gone volume is found by what was stored.
    EXPECT_EQ(LWLaunchServices::indexOfItemWithURL(old, kFavourites), 6u);
    ASSERT_TRUE(LWLaunchServices::removeItemWithURL(old, kFavourites));
    EXPECT_EQ(testsupport::readFile(file), others + "\n" + docs + "\n");

    ASSERT_TRUE(LWLaunchServices::addItemWithURL(old, kFavourites));
    ASSERT_TRUE(LWLaunchServices::clearList(kFavourites));
    EXPECT_EQ(testsupport::readFile(file), others + "\n");

    ASSERT_TRUE(LWLaunchServices::removeItemWithIndex(4, kFavourites));
    EXPECT_EQ(LWLaunchServices::allItemsFromList(kFavourites).size(), 4u);
}

TEST(LWLaunchServices, TypesFromTheSharedMimeDatabase) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "a.txt", "hello\n");
    testsupport::writeFile(dir / "b.png", std::string("\x89PNG\r\n\x1a\n", 8));
    testsupport::writeFile(dir / "c.pdf", "%PDF-1.4\n");
    testsupport::writeFile(dir / "README", "plain words\n");
    testsupport::writeFile(dir / "d.qqzzq", "?");
    fs::create_directories(dir / "folder");
    ASSERT_EQ(mkfifo((dir / "pipe.txt").c_str(), 0600), 0);

    struct Case {
        const char* name;
        std::optional<std::string> mime;
        bool described;
    };
    const Case cases[] = {
        {"a.txt", "text/plain", true},      {"b.png", "image/png", true},
        {"c.pdf", "application/pdf", true}, {"README", std::nullopt, true},
        {"d.qqzzq", std::nullopt, true},    {"folder", std::nullopt, true},
        {"pipe.txt", "text/plain", true},   {"missing.txt", std::nullopt, false},
    };
    std::map<std::string, std::string> descriptions;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = (dir / c.name).string();
        EXPECT_EQ(LWLaunchServices::mimeTypeForFile(path), c.mime);
        auto description = LWLaunchServices::humanReadableTypeForFile(path);
        ASSERT_EQ(description.has_value(), c.described);
        if (description) {
            EXPECT_FALSE(description->empty());
            descriptions[c.name] = *description;
        }
    }
    EXPECT_NE(descriptions["a.txt"], descriptions["c.pdf"]);
    EXPECT_NE(descriptions["folder"], descriptions["a.txt"]);
}

TEST(LWLaunchServices, ApplicationsByDesktopEntryId) {
    // GLib reads XDG_DATA_HOME once per process.
    if (!testsupport::inFreshProcess()) return;
    testsupport::TempDir data;
    setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    const fs::path viewer = data / "bin/viewer";
    fs::create_directories(viewer.parent_path());
    testsupport::writeFile(viewer, "#!/bin/sh\n");
    chmod(viewer.c_str(), 0755);
    fs::create_directories(data / "applications");
    testsupport::writeFile(data / "applications/tessaro-viewer.desktop",
                           "[Desktop Entry]\nType=Application\nName=Tessaro Viewer\nExec=" +
                               viewer.string() + " %f\nMimeType=text/plain;\n");
    // What an installation runs: GIO finds handlers of a type through this cache.
    ASSERT_EQ(
        std::system(("update-desktop-database '" + (data / "applications").string() + "'").c_str()),
        0);

    const std::vector<std::string> ids = {"tessaro-viewer.desktop", "no-such.desktop"};
    using Ids = std::vector<std::string>;
    EXPECT_EQ(LWLaunchServices::prepareArray(ids, LWLaunchServices::kFormatPath),
              Ids{viewer.string()});
    EXPECT_EQ(LWLaunchServices::prepareArray(ids, LWLaunchServices::kFormatDisplayName),
              Ids{"Tessaro Viewer"});
    EXPECT_EQ(LWLaunchServices::prepareArray(ids, 0), ids);

    auto contains = [](const Ids& v, const std::string& s) {
        return std::find(v.begin(), v.end(), s) != v.end();
    };
    EXPECT_TRUE(contains(LWLaunchServices::allApplicationsFormattedAs(0), ids[0]));
    EXPECT_TRUE(contains(LWLaunchServices::allApplicationsAbleToOpenFileExtension("txt", 2),
                         "Tessaro Viewer"));
    EXPECT_FALSE(
        contains(LWLaunchServices::allApplicationsAbleToOpenFileExtension("png", 0), ids[0]));
    EXPECT_TRUE(LWLaunchServices::allApplicationsAbleToOpenFileExtension("qqzzq", 0).empty());
}

// A MIME database and a desktop entry of our own, as update-mime-database
// writes them: the user's folder (a type with an alias and several globs, a
// type whose globs replace the system's, a type without globs) before a
// system folder.
TEST(LWLaunchServices, TypeQueriesFromTheDesktopEntryAndTheMimeDatabase) {
    // GLib reads the XDG folders once per process.
    if (!testsupport::inFreshProcess()) return;
    testsupport::TempDir root;
    const fs::path user = root / "user", system = root / "system";
    for (const auto& [folder, package] :
         {std::pair{user, "tessaro-fixture-mime.xml"}, {system, "tessaro-fixture-old-mime.xml"}}) {
        fs::create_directories(folder / "mime/packages");
        fs::copy_file(fs::path(TESSARO_TEST_DATA) / package, folder / "mime/packages" / package);
        ASSERT_EQ(std::system(
                      ("update-mime-database '" + (folder / "mime").string() + "' >/dev/null 2>&1")
                          .c_str()),
                  0);
    }
    setenv("XDG_DATA_HOME", user.c_str(), 1);
    setenv("XDG_DATA_DIRS", system.c_str(), 1);
    fs::create_directories(user / "applications");
    const fs::path entry = user / "applications/tessaro-fixture-viewer.desktop";
    testsupport::writeFile(entry,
                           "[Desktop Entry]\nType=Application\nName=Fixture Viewer\nExec=true %f\n"
                           "MimeType=application/x-tzar;text/x-tessaro-note;x-scheme-handler/"
                           "tessaro;application/x-tessaro-noglob;application/x-nobody-knows;"
                           "application/x-tessaro-archive;text/x-tessaro-note;\n");

    using Strings = std::vector<std::string>;
    const Strings types = {"application/x-tzar",         "text/x-tessaro-note",
                           "x-scheme-handler/tessaro",   "application/x-tessaro-noglob",
                           "application/x-nobody-knows", "application/x-tessaro-archive"};
    const Strings archive = {"tzar", "tza", "tessaro-archive"};
    for (const std::string& application :
         {entry.string(), std::string("tessaro-fixture-viewer.desktop")}) {
        SCOPED_TRACE(application);
        EXPECT_EQ(LWLaunchServices::allAvailableFileTypesForApplication(application), types);
        EXPECT_EQ(LWLaunchServices::allAvailableMIMETypesForApplication(application),
                  (Strings{"application/x-tessaro-archive", "text/x-tessaro-note",
                           "application/x-tessaro-noglob"}));
        EXPECT_EQ(LWLaunchServices::allAvailableFileExtensionsForApplication(application),
                  (Strings{"tzar", "tza", "tessaro-archive", "tnote"}));
    }
    for (const char* missing : {"no-such.desktop", "/no/such/entry.desktop", ""}) {
        EXPECT_TRUE(LWLaunchServices::allAvailableFileTypesForApplication(missing).empty());
        EXPECT_TRUE(LWLaunchServices::allAvailableFileExtensionsForApplication(missing).empty());
    }

    struct Case {
        const char* type;
        Strings extensions;
    };
    const Case byType[] = {
        {"application/x-tessaro-archive", archive},
        {"application/x-tzar", archive},
        // The user's globs replace the system's "*.oldnote".
        {"text/x-tessaro-note", {"tnote"}},
        {"application/x-tessaro-noglob", {}},
        {"application/x-nobody-knows", {}},
    };
    for (const auto& c : byType) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(LWLaunchServices::allAvailableFileExtensionsForMIMEType(c.type), c.extensions);
        EXPECT_EQ(
            LWLaunchServices::preferredFileExtensionForMIMEType(c.type),
            c.extensions.empty() ? std::nullopt : std::optional<std::string>(c.extensions.front()));
    }
    const std::pair<const char*, Strings> byExtension[] = {
        {"tza", archive}, {"TZAR", archive}, {"tnote", {"tnote"}},
        {"oldnote", {}},  {"", {}},          {"qqzzq", {}},
    };
    for (const auto& [extension, extensions] : byExtension) {
        SCOPED_TRACE(extension);
        EXPECT_EQ(LWLaunchServices::allAvailableFileExtensionsForFileExtension(extension),
                  extensions);
    }
}

}  // namespace
