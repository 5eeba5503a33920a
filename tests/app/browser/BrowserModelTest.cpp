#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QMimeData>
#include <QUrl>

#include "app/browser/BrowserFixture.h"
#include "app/browser/QVBrowserModel.h"
#include "platform/gui/FileNames.h"
#include "support/QtTestApp.h"

TESSARO_QT_TEST_APP();

namespace {

std::vector<std::string> names(const std::vector<QVFile::Ptr>& files) {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(f->fileName());
    std::sort(out.begin(), out.end());
    return out;
}

using Names = std::vector<std::string>;

class BrowserModelTest : public BrowserFixture {
  protected:
    void SetUp() override {
        BrowserFixture::SetUp();
        model_.showAlert = [this](const platform::Alert& a) { alerts_.push_back(a); };
    }
    QVBrowserModel model_{clock_};
    std::vector<platform::Alert> alerts_;
};

TEST_F(BrowserModelTest, TreeThroughTheHandlePassesTheModelTester) {
    mkdir("a");
    mkdir("a/b");
    put("a/b/deep.txt", "deep");
    put("top.pdf", "pdf");
    put(".hidden", "x");
    model_.setFileSystem(fs_);
    QAbstractItemModelTester tester(&model_, QAbstractItemModelTester::FailureReportingMode::Fatal);

    ASSERT_EQ(model_.rowCount(), 2);  // no dot file, no database
    QModelIndex deep = model_.indexForPath("a/b/deep.txt");
    ASSERT_TRUE(deep.isValid());
    EXPECT_EQ(deep.data().toString(), "deep.txt");
    EXPECT_EQ(deep.parent().data().toString(), "b");
    EXPECT_EQ(deep.parent().parent().data().toString(), "a");
    EXPECT_FALSE(model_.hasChildren(deep));
    EXPECT_TRUE(model_.flags(deep) & Qt::ItemIsEditable);
    EXPECT_FALSE(model_.indexForPath("a/nothing").isValid());

    model_.reload();
    put("a/new", "n");
    model_.refresh(model_.indexForPath("a"));  // cached: unchanged
    EXPECT_EQ(model_.rowCount(model_.indexForPath("a")), 1);
    clock_.advance(std::chrono::seconds(121));
    model_.refresh(model_.indexForPath("a"));
    EXPECT_EQ(model_.rowCount(model_.indexForPath("a")), 2);

    // Locked: nothing at all.
    fs_->unmount();
    model_.reload();
    EXPECT_EQ(model_.rowCount(), 0);
}

TEST_F(BrowserModelTest, ListingsAreCachedForTwoMinutesAndReloadReadsAfresh) {
    put("one", "1");
    model_.setFileSystem(fs_);
    EXPECT_EQ(names(model_.visibleContentsOfDirAtPath("")), Names{"one"});
    put("two", "2");
    clock_.advance(std::chrono::seconds(119));
    EXPECT_EQ(names(model_.visibleContentsOfDirAtPath("")), Names{"one"});
    clock_.advance(std::chrono::seconds(2));  // 121 s after the last flush
    EXPECT_EQ(names(model_.visibleContentsOfDirAtPath("")), (Names{"one", "two"}));

    put("three", "3");
    model_.reload();
    EXPECT_EQ(names(model_.visibleContentsOfDirAtPath("")), (Names{"one", "three", "two"}));
    // Something that is no directory lists empty and is not cached.
    EXPECT_TRUE(model_.visibleContentsOfDirAtPath("one").empty());
}

TEST_F(BrowserModelTest, RenameRefusesTakenAndInvalidNamesWithAnAlert) {
    mkdir("d");
    put("d/file", "content");
    put("d/other", "other");
    model_.setFileSystem(fs_);
    auto item = fs_->fileAtPath("d/file");

    struct Case {
        std::string name;
        const char* alertTitle;  // nullptr: renamed
    };
    const Case cases[] = {
        {"other", "The name is taken"},
        {"", "The name cannot be used"},
        {"..", "The name cannot be used"},
        {".", "The name cannot be used"},
        {"../escaped", "The name cannot be used"},
        {"x/y", "The name cannot be used"},
        {"_QXCFG.MOX", "The name cannot be used"},
        {"_qxcfg.mox", "The name cannot be used"},
        {"_QxCfg.Mox-Journal", "The name cannot be used"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        alerts_.clear();
        EXPECT_FALSE(model_.renameItem(item, c.name));
        ASSERT_EQ(alerts_.size(), 1u);
        EXPECT_EQ(alerts_[0].messageText, c.alertTitle);
        EXPECT_EQ(get("d/file"), "content");
    }
    EXPECT_EQ(get("d/other"), "other");
    EXPECT_EQ(alerts_.size(), 1u);
    EXPECT_NE(alerts_[0].informativeText.find("_QxCfg.Mox-Journal"), std::string::npos);

    alerts_.clear();
    QModelIndex row = model_.indexForPath("d/file");
    EXPECT_TRUE(model_.setData(row, QString("renamed"), Qt::EditRole));
    EXPECT_TRUE(alerts_.empty());
    EXPECT_EQ(get("d/renamed"), "content");
    EXPECT_FALSE(exists("d/file"));
    QCoreApplication::processEvents();  // the reload after the editor closed
    EXPECT_TRUE(model_.indexForPath("d/renamed").isValid());
}

TEST_F(BrowserModelTest, MovesOfBrowserRows) {
    struct Case {
        const char* what;
        Names items;
        std::string destination;
        QVConflictAnswer answer;
        bool result;
        std::map<std::string, std::string> after;  // path -> content ("dir" for a directory)
        int questions;
    };
    const Case cases[] = {
        {"onto its own directory ends with NO",
         {"x/f"},
         "x",
         QVConflictAnswer::Stop,
         false,
         {{"x/f", "xf"}},
         0},
        {"into a free name, then Stop",
         {"x/g", "x/f"},
         "",
         QVConflictAnswer::Stop,
         true,
         {{"g", "xg"}, {"f", "root f"}, {"x/f", "xf"}},
         1},
        {"Replace of an unrelated item; the old one is gone",
         {"x/f"},
         "",
         QVConflictAnswer::Replace,
         true,
         {{"f", "xf"}, {"x/f", "<missing>"}},
         1},
        {"Skip leaves both",
         {"x/f"},
         "",
         QVConflictAnswer::Skip,
         true,
         {{"f", "root f"}, {"x/f", "xf"}},
         1},
        {"a/a onto a is refused",
         {"a/a"},
         "",
         QVConflictAnswer::Replace,
         true,
         {{"a/a/inner", "deep"}},
         0},
        {"into itself is refused", {"x"}, "x", QVConflictAnswer::Replace, true, {{"x/f", "xf"}}, 0},
        {"into its own child is refused",
         {"a"},
         "a/a",
         QVConflictAnswer::Replace,
         true,
         {{"a/a/inner", "deep"}},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* top : {"x", "a", "f", "g"}) fs_->removeItemAtPath(top);
        mkdir("x");
        put("x/f", "xf");
        put("x/g", "xg");
        put("f", "root f");
        mkdir("a");
        mkdir("a/a");
        put("a/a/inner", "deep");
        model_.setFileSystem(fs_);

        int questions = 0;
        model_.askConflict = [&](const QVImportExportMessage& q,
                                 QVImportExportDelegate::ConflictReply reply) {
            ++questions;
            EXPECT_EQ(q.arguments.at(0), "f");
            reply(c.answer, false);
        };
        std::vector<QVFile::Ptr> items;
        for (const auto& p : c.items) items.push_back(fs_->fileAtPath(p));
        std::optional<bool> result;
        model_.moveItems(items, c.destination, [&](bool r) { result = r; });
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, c.result);
        EXPECT_EQ(questions, c.questions);
        for (const auto& [path, content] : c.after) EXPECT_EQ(get(path), content) << path;
    }
}

TEST_F(BrowserModelTest, DropsOfRowsMoveAndDropsOfTheFolderItselfAreRefused) {
    mkdir("x");
    put("f", "f");
    model_.setFileSystem(fs_);
    QModelIndexList rows{model_.indexForPath("f")};
    std::unique_ptr<QMimeData> data(model_.mimeData(rows));
    EXPECT_EQ(data->data(QVBrowserModel::kRowDragType), QVBrowserModel::kRowDragPlaceholder);
    QModelIndex x = model_.indexForPath("x");
    ASSERT_TRUE(model_.canDropMimeData(data.get(), Qt::MoveAction, -1, 0, x));
    ASSERT_TRUE(model_.dropMimeData(data.get(), Qt::MoveAction, -1, 0, x));
    QCoreApplication::processEvents();
    EXPECT_EQ(get("x/f"), "f");

    std::vector<std::string> imported;
    model_.importFiles = [&](const std::vector<std::string>& paths, const std::string& dir) {
        imported = paths;
        imported.push_back(dir);
    };
    QMimeData local;
    local.setUrls({QUrl::fromLocalFile(QString::fromStdString(folder_.string()))});
    EXPECT_FALSE(model_.canDropMimeData(&local, Qt::CopyAction, -1, 0, {}));
    local.setUrls({QUrl::fromLocalFile(QString::fromStdString(tmp_.path().string()))});
    EXPECT_FALSE(model_.canDropMimeData(&local, Qt::CopyAction, -1, 0, {}));
    testsupport::writeFile(tmp_ / "outside.txt", "o");
    local.setUrls({QUrl::fromLocalFile(QString::fromStdString((tmp_ / "outside.txt").string()))});
    // On a file row: into that file's directory.
    QModelIndex inX = model_.indexForPath("x/f");
    ASSERT_TRUE(model_.dropMimeData(&local, Qt::CopyAction, -1, 0, inX));
    EXPECT_EQ(imported, (Names{(tmp_ / "outside.txt").string(), "x"}));
}

}  // namespace

namespace {

// A name is bytes: showing it never changes it, and a name the text cannot
// hold is shown with escapes and not edited.
TEST(FileNames, ShownExactlyOrWithEscapes) {
    struct Case {
        std::string bytes;
        const char* shown;
        bool exact;
    };
    for (const Case& c :
         {Case{"plain.txt", "plain.txt", true}, Case{"caf\xc3\xa9.txt", "caf\u00e9.txt", true},
          Case{"caf\xe9.txt", "caf\\xe9.txt", false},
          Case{"\xc0\xaf", "\\xc0\\xaf", false},           // overlong "/"
          Case{"\xed\xa0\x80", "\\xed\\xa0\\x80", false},  // a surrogate
          Case{"\xf0\x9f\x93\x81", "\U0001f4c1", true}}) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(platform::isExactlyShown(c.bytes), c.exact);
        EXPECT_EQ(platform::displayFileName(c.bytes), QString::fromUtf8(c.shown));
    }
    // URLs as file managers write them: the bytes of "%E9" come back.
    struct UrlCase {
        const char* url;
        std::optional<std::string> path;
    };
    for (const UrlCase& c :
         {UrlCase{"file:///tmp/caf%E9.txt", std::string("/tmp/caf\xe9.txt")},
          UrlCase{"file:///tmp/caf%C3%A9%20x", std::string("/tmp/caf\xc3\xa9 x")},
          UrlCase{"file://localhost/tmp/a", std::string("/tmp/a")},
          UrlCase{"file://server/tmp/a", std::nullopt}, UrlCase{"http://x/a", std::nullopt},
          UrlCase{"file:///tmp/a%00b", std::nullopt}}) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(platform::localPathForUrl(QUrl::fromEncoded(c.url)), c.path);
    }
}

TEST_F(BrowserModelTest, NamesThatAreNotUtf8SurviveShowingEditingAndDrops) {
    const std::string latin1 = "caf\xe9.txt";
    put(latin1, "bytes");
    put("plain.txt", "x");
    model_.setFileSystem(fs_);
    QModelIndex odd = model_.indexForPath(latin1);
    QModelIndex plain = model_.indexForPath("plain.txt");
    ASSERT_TRUE(odd.isValid());
    ASSERT_TRUE(plain.isValid());
    EXPECT_EQ(odd.data().toString(), QString::fromUtf8("caf\\xe9.txt"));
    EXPECT_FALSE(model_.flags(odd) & Qt::ItemIsEditable);
    EXPECT_TRUE(model_.flags(plain) & Qt::ItemIsEditable);
    // What an editor would hand back: the shown text. Nothing is renamed.
    EXPECT_FALSE(model_.setData(odd, odd.data(Qt::EditRole), Qt::EditRole));
    EXPECT_FALSE(model_.setData(plain, plain.data(Qt::EditRole), Qt::EditRole));
    QCoreApplication::processEvents();
    EXPECT_EQ(get(latin1), "bytes");
    EXPECT_TRUE(exists("plain.txt"));
    EXPECT_TRUE(alerts_.empty());

    // A drop of a file named so imports the file of those bytes.
    std::vector<std::string> imported;
    model_.importFiles = [&](const std::vector<std::string>& paths, const std::string&) {
        imported = paths;
    };
    QMimeData data;
    data.setUrls({QUrl::fromEncoded("file:///tmp/caf%E9.txt")});
    ASSERT_TRUE(model_.dropMimeData(&data, Qt::CopyAction, -1, 0, {}));
    EXPECT_EQ(imported, std::vector<std::string>{"/tmp/caf\xe9.txt"});
}

// Entries come in name order, letter case aside, whatever order the disk
// keeps them in.
TEST_F(BrowserModelTest, EntriesAreListedInNameOrder) {
    for (const char* n : {"b.txt", "C", "a.txt", "B2", "_x", "A"}) put(n, "x");
    model_.setFileSystem(fs_);
    std::vector<std::string> shown;
    for (int r = 0; r < model_.rowCount(); ++r)
        shown.push_back(model_.index(r, 0).data().toString().toStdString());
    EXPECT_EQ(shown, (Names{"_x", "A", "a.txt", "b.txt", "B2", "C"}));
}

}  // namespace
