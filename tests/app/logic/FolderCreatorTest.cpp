#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "FileSystem/QVFileSystem.h"
#include "app/logic/QVEncryptedFolderCreator.h"
#include "folder/MoxEncryptedFolder.h"
#include "support/TempDir.h"

namespace {

bool opens(const std::string& path, const std::string& user, const std::string& password) {
    QVFileSystem fs;
    const bool ok = fs.mountEncryptedFolder(path, user, password);
    fs.unmount();
    return ok;
}

TEST(QVEncryptedFolderCreator, ChoicesAndTheirIds) {
    QVEncryptedFolderCreator c;
    EXPECT_EQ(c.availableEncryptionNames(),
              (std::vector<std::string>{"AES 256", "Tripple DES", "IDEA"}));
    EXPECT_EQ(c.selectedEncryptionName(), "AES 256");
    EXPECT_EQ(c.selectedHashID(), 0x2000000u);
    c.setSelectedEncryptionName("IDEA");
    c.setSelectedHashName("RIPEMD-160");
    EXPECT_EQ(c.selectedEncryptionID(), 512u);
    EXPECT_EQ(c.selectedHashID(), 0x20000u);
    c.setSelectedEncryptionName("Blowfish");  // not offered: the first one
    c.setSelectedHashName("MD5");
    EXPECT_EQ(c.selectedEncryptionName(), "AES 256");
    EXPECT_EQ(c.selectedEncryptionID(), 1u);
    EXPECT_EQ(c.selectedHashName(), "SHA-2 256");
}

TEST(QVEncryptedFolderCreator, EveryCipherAndHashMakesAFolderThatOpens) {
    testsupport::TempDir dir("tessaro-creator");
    QVEncryptedFolderCreator c;
    const uint32_t ciphers[] = {1, 2, 512};
    int n = 0;
    for (size_t e = 0; e < c.availableEncryptionNames().size(); ++e) {
        for (const std::string& hash : c.availableHashNames()) {
            const std::string name = c.availableEncryptionNames()[e];
            SCOPED_TRACE(name + " / " + hash);
            c.setSelectedEncryptionName(name);
            c.setSelectedHashName(hash);
            c.setUserNameForDisplay("Alice Example");
            const std::string path = (dir / ("f" + std::to_string(n++) + ".zel")).string();
            ASSERT_TRUE(c.createEncryptedFolderAtPath(path, "alice", "pässwörd"));
            uint32_t error = 0;
            MoxAuthentication request;
            request.SetName("alice");
            request.SetPassword("pässwörd");
            std::unique_ptr<CMoxEncryptedFolder> f(
                CMoxEncryptedFolder::Connect(path.c_str(), &request, &error));
            ASSERT_TRUE(f) << error;
            EXPECT_EQ(f->GetCryptAlgo(), ciphers[e]);
            EXPECT_STREQ(f->GetAuthenticatedUser(), "Alice Example");
            EXPECT_EQ(f->GetPermissions(), kMoxPermsAdministrator);
            EXPECT_FALSE(opens(path, "alice", "password"));
        }
    }
}

TEST(QVEncryptedFolderCreator, LongPasswordsAndNamesOpenTheFolderTheyMade) {
    testsupport::TempDir dir("tessaro-creator");
    QVEncryptedFolderCreator c;
    // 600 bytes, and a cut that would fall inside a two-byte character.
    const std::string ascii(600, 'p');
    const std::string accented = std::string(510, 'a') + "ééé";
    const std::string longName = std::string(254, 'n') + "é";
    struct Case {
        std::string name, user, password;
    } cases[] = {{"ascii", "alice", ascii}, {"utf8", "alice", accented}, {"name", longName, "pw"}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const std::string path = (dir / k.name).string();
        ASSERT_TRUE(c.createEncryptedFolderAtPath(path, k.user, k.password));
        EXPECT_TRUE(opens(path, k.user, k.password));
    }
    // What is kept of a cut password is whole characters.
    MoxAuthentication r;
    r.SetPassword(accented.c_str());
    EXPECT_EQ(std::string(r.password), std::string(510, 'a'));
}

TEST(QVEncryptedFolderCreator, RefusesWhatIsNotAnEmptyOrNewDirectory) {
    testsupport::TempDir dir("tessaro-creator");
    QVEncryptedFolderCreator c;
    std::filesystem::create_directory(dir / "full");
    testsupport::writeFile(dir / "full" / "note.txt", "mine");
    testsupport::writeFile(dir / "file", "x");
    ASSERT_TRUE(c.createEncryptedFolderAtPath((dir / "done").string(), "alice", "pw"));
    const auto before = std::filesystem::last_write_time(dir / "done");

    EXPECT_FALSE(c.createEncryptedFolderAtPath((dir / "full").string(), "alice", "pw"));
    EXPECT_EQ(testsupport::readFile(dir / "full" / "note.txt"), "mine");
    EXPECT_FALSE(std::filesystem::exists(dir / "full" / "_QXCFG.MOX"));
    EXPECT_FALSE(c.createEncryptedFolderAtPath((dir / "file").string(), "alice", "pw"));
    EXPECT_FALSE(c.createEncryptedFolderAtPath((dir / "no" / "parent").string(), "alice", "pw"));
    EXPECT_FALSE(c.createEncryptedFolderAtPath((dir / "done").string(), "bob", "pw"));
    EXPECT_TRUE(opens((dir / "done").string(), "alice", "pw"));
    EXPECT_EQ(std::filesystem::last_write_time(dir / "done"), before);
}

}  // namespace
