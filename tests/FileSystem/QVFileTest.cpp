#include "FileSystem/QVFile.h"

#include <gtest/gtest.h>

#include "FileSystem/QVFpUser.h"

namespace {

std::vector<std::string> names(const QVFile& dir) {
    std::vector<std::string> out;
    if (dir.children())
        for (const auto& c : *dir.children()) out.push_back(c->fileName());
    return out;
}

TEST(QVFile, Construction) {
    QVFile plain;
    EXPECT_EQ(plain.fileSize(), UINT64_MAX);
    EXPECT_FALSE(plain.children().has_value());
    EXPECT_FALSE(plain.isOpen());

    QVFile file("x/y.doc", false);
    EXPECT_EQ(file.fileName(), "y.doc");
    EXPECT_EQ(file.filePath(), "x/y.doc");
    EXPECT_EQ(file.fileSize(), 0u);
    EXPECT_FALSE(file.children().has_value());
    EXPECT_EQ(file.description(), "(FILE x/y.doc 0B)");

    QVFile dir("docs", true);
    ASSERT_TRUE(dir.children().has_value());
    EXPECT_TRUE(dir.children()->empty());
    EXPECT_EQ(dir.description(), "(DIR docs 0B)");
    EXPECT_EQ(plain.description(), "(FILE  -1B)");
}

TEST(QVFile, ChildrenSortedUniqueAndEmptiedToNone) {
    auto dir = std::make_shared<QVFile>("docs", true);
    auto b = std::make_shared<QVFile>("b.txt", false);
    auto a = std::make_shared<QVFile>("A.txt", false);
    auto c = std::make_shared<QVFile>("c", false);
    auto sameName = std::make_shared<QVFile>("c", false);
    for (const auto& f : {b, a, c, c, sameName}) dir->addChild(f);
    EXPECT_EQ(names(*dir), (std::vector<std::string>{"A.txt", "b.txt", "c", "c"}));
    EXPECT_EQ(a->filePath(), "docs/A.txt");

    auto root = std::make_shared<QVFile>("", true);
    auto top = std::make_shared<QVFile>("top", false);
    root->addChild(top);
    EXPECT_EQ(top->filePath(), "top");

    for (const auto& f : {a, b, c, sameName}) dir->removeChild(f);
    EXPECT_FALSE(dir->children().has_value());

    QVFile plain;
    plain.addChild(a);
    EXPECT_EQ(names(plain), std::vector<std::string>{"A.txt"});
    plain.setChildren({c, b, a});
    EXPECT_EQ(names(plain), (std::vector<std::string>{"A.txt", "b.txt", "c"}));
}

TEST(QVFpUser, HoldsItsValues) {
    QVFpUser u(std::string("k-1"), "ann", "Ann Smith", true);
    EXPECT_EQ(u.keyID(), "k-1");
    EXPECT_EQ(u.shortUserName(), "ann");
    EXPECT_EQ(u.longUserName(), "Ann Smith");
    EXPECT_TRUE(u.isAdmin());
    QVFpUser fresh;
    EXPECT_FALSE(fresh.keyID().has_value());
}

}  // namespace
