#include <QDragEnterEvent>
#include <QDropEvent>
#include <QIcon>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QStackedWidget>
#include <QUrl>

#include "MainWindowFixture.h"
#include "app/browser/QVBrowserCells.h"
#include "app/mainwindow/QVDropView.h"
#include "app/mainwindow/QVGradientView.h"
#include "app/mainwindow/QVSourceListController.h"
#include "support/DragEvents.h"

using testsupport::MainWindowTest;

namespace {

using Paths = std::vector<std::string>;

TEST(SidebarNames, EveryFolderExtensionIsRemovedIgnoringCase) {
    const std::pair<const char*, const char*> cases[] = {{"/a/Vault.zel", "Vault"},
                                                         {"/a/Vault.ZEL", "Vault"},
                                                         {"/a/x.Zel.zel", "x"},
                                                         {"/a/zelda", "zelda"},
                                                         {"/a/Plain", "Plain"}};
    for (const auto& [path, name] : cases)
        EXPECT_EQ(QVSourceListController::displayName(path), name) << path;
}

TEST_F(MainWindowTest, SidebarOrderAndSelectionSurviveReorderAndRestart) {
    const Paths f = {folder("A.zel"), folder("B.zel"), folder("C.zel")};
    {
        auto w = makeWindow();
        w->addVolumes(f);
        settle(*w);
        auto* list = w->sourceListController();
        list->setSelectedItemPath(f[2]);
        list->moveRows({2}, 0);  // C to the top
        EXPECT_EQ(list->itemsPaths(), (Paths{f[2], f[0], f[1]}));
        // The selection stays with its folder, not its row.
        EXPECT_EQ(list->selectedItemPath(), f[2]);
        EXPECT_EQ(list->sourceTableView()->currentRow(), 0);
        EXPECT_EQ(w->currentVolumePath(), f[2]);
    }
    auto w = makeWindow();
    EXPECT_EQ(w->sourceListController()->itemsPaths(), (Paths{f[2], f[0], f[1]}));
    EXPECT_TRUE(w->sidebarDropView()->isHidden());                   // two or more folders
    EXPECT_EQ(w->sourceListController()->selectedItemPath(), f[2]);  // the first one
    EXPECT_EQ(w->mainTabView()->currentIndex(), 0);
}

// The rows are the sidebar cell's: its size plus the eject column, the label
// where the cell puts it, the 16 x 16 folder in both of its forms.
TEST_F(MainWindowTest, SidebarRowsAreTheSidebarCells) {
    auto w = makeWindow();
    w->resize(900, 560);
    w->show();
    w->addVolumes({folder("Photos of 2026.zel")});
    settle(*w);
    QListWidget* table = w->sourceListController()->sourceTableView();
    auto* cell = dynamic_cast<QVSourceImageAndTextCell*>(table->itemDelegate());
    ASSERT_TRUE(cell);

    const QModelIndex row = table->model()->index(0, 0);
    const QIcon icon = row.data(Qt::DecorationRole).value<QIcon>();
    for (QIcon::Mode mode : {QIcon::Normal, QIcon::Selected})
        EXPECT_EQ(icon.availableSizes(mode), QList<QSize>{QSize(16, 16)}) << mode;

    QStyleOptionViewItem option;
    option.initFrom(table);
    option.widget = table;
    option.rect = table->visualRect(row);
    const QSize size = cell->sizeHint(option, row);
    EXPECT_EQ(size.width(), option.fontMetrics.horizontalAdvance("Photos of 2026") +
                                browsercell::kIconSize + sidebarcell::kIconGap +
                                QVSourceListController::kEjectColumnWidth);
    EXPECT_GE(size.height(), QVSourceListController::kRowHeight);
    EXPECT_EQ(option.rect.height(), size.height());

    // The field editor covers the label only, clear of the eject button.
    QLineEdit editor;
    cell->updateEditorGeometry(&editor, option, row);
    const QRect name = QVSourceListController::nameRect(option.rect);
    EXPECT_EQ(name.right(), option.rect.right() - QVSourceListController::kEjectColumnWidth);
    EXPECT_EQ(editor.geometry(), sidebarcell::titleRect(name, browsercell::kIconSize));
    EXPECT_LT(editor.geometry().right(), option.rect.right() - 22);
}

TEST_F(MainWindowTest, SidebarRestoreSkipsAFolderThatIsGone) {
    const Paths f = {folder("A.zel"), folder("B.zel"), folder("C.zel")};
    makeWindow()->addVolumes(f);
    std::filesystem::remove_all(f[1]);
    auto w = makeWindow();
    EXPECT_EQ(w->sourceListController()->itemsPaths(), (Paths{f[0], f[2]}));
}

TEST_F(MainWindowTest, SidebarEjectSelectsTheNeighbourAndKeepsOtherSelections) {
    const Paths f = {folder("A.zel"), folder("B.zel"), folder("C.zel")};
    auto w = makeWindow();
    w->addVolumes(f);
    settle(*w);
    auto* list = w->sourceListController();

    // Ejecting another row by its button keeps the selected folder.
    list->setSelectedItemPath(f[1]);
    list->eject(0);
    EXPECT_EQ(list->itemsPaths(), (Paths{f[1], f[2]}));
    EXPECT_EQ(list->selectedItemPath(), f[1]);

    // Ejecting the last row selects the one above it.
    list->setSelectedItemPath(f[2]);
    list->ejectSelected();
    EXPECT_EQ(list->selectedItemPath(), f[1]);
    EXPECT_EQ(w->currentVolumePath(), f[1]);

    // Ejecting the only row leaves nothing selected and shows the empty page.
    list->ejectSelected();
    EXPECT_TRUE(list->itemsPaths().empty());
    EXPECT_FALSE(list->selectedItemPath());
    EXPECT_EQ(w->currentVolumePath(), "");
    EXPECT_FALSE(w->currentFileSystem());
    EXPECT_EQ(w->mainTabView()->currentIndex(), 1);
    EXPECT_TRUE(defaults.objectForKey("sidebarSavedBookmarks").ifArray()->empty());
}

TEST_F(MainWindowTest, SidebarDuplicateAddSelectsTheListedFolder) {
    const Paths f = {folder("A.zel"), folder("B.zel")};
    auto w = makeWindow();
    w->addVolumes(f);
    settle(*w);
    EXPECT_EQ(w->sourceListController()->selectedItemPath(), f[0]);
    w->addVolumes({f[1]});
    settle(*w);
    EXPECT_EQ(w->sourceListController()->itemsPaths(), f);
    EXPECT_EQ(w->sourceListController()->selectedItemPath(), f[1]);
}

// A drag of `mime` with `actions` over `view`, then the drop.
struct DragResult {
    bool enterAccepted;
    bool highlighted;
    bool dropAccepted;
};
DragResult dragAndDrop(QWidget* view, QMimeData* mime, Qt::DropActions actions) {
    const QPoint centre = view->rect().center();
    QDragEnterEvent enter(centre, actions, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &enter);
    DragResult r{enter.isAccepted(), false, false};
    if (auto* d = dynamic_cast<QVDropView*>(view)) r.highlighted = d->isHighlighted();
    QDropEvent drop(QPointF(centre), actions, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &drop);
    r.dropAccepted = drop.isAccepted();
    return r;
}

QMimeData* urls(const Paths& paths) {
    auto* m = new QMimeData;
    QList<QUrl> list;
    for (const auto& p : paths) list << QUrl::fromLocalFile(QString::fromStdString(p));
    m->setUrls(list);
    return m;
}

TEST_F(MainWindowTest, DropViewsTakeEncryptedFoldersOnly) {
    const std::string encrypted = folder("Dropped.zel");
    const std::string plain = (dir / "plain").string();
    std::filesystem::create_directory(plain);
    auto w = makeWindow();
    w->show();
    const Qt::DropActions finder = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    for (QWidget* view :
         {static_cast<QWidget*>(w->dropView()), static_cast<QWidget*>(w->sidebarDropView())}) {
        SCOPED_TRACE(view->objectName().toStdString());
        std::unique_ptr<QMimeData> text(new QMimeData);
        text->setText("hello");
        DragResult r = dragAndDrop(view, text.get(), finder);
        EXPECT_FALSE(r.enterAccepted);
        EXPECT_FALSE(r.highlighted);
        EXPECT_FALSE(r.dropAccepted);

        std::unique_ptr<QMimeData> copyOnly(urls({encrypted}));
        r = dragAndDrop(view, copyOnly.get(), Qt::CopyAction);
        EXPECT_FALSE(r.enterAccepted);
        EXPECT_FALSE(r.dropAccepted);

        std::unique_ptr<QMimeData> ordinary(urls({plain}));
        r = dragAndDrop(view, ordinary.get(), finder);
        EXPECT_TRUE(r.highlighted);  // a folder drag: it may hold one
        EXPECT_FALSE(r.dropAccepted);
        EXPECT_TRUE(w->sourceListController()->itemsPaths().empty());
        EXPECT_FALSE(std::filesystem::exists(plain + ".zel"));
    }
    // The encrypted folder among ordinary items is added alone, no offer asked.
    std::unique_ptr<QMimeData> mixed(urls({plain, encrypted}));
    DragResult r = dragAndDrop(w->dropView(), mixed.get(), finder);
    EXPECT_TRUE(r.dropAccepted);
    EXPECT_FALSE(w->dropView()->isHighlighted());
    EXPECT_TRUE(alerts().empty());
    EXPECT_EQ(w->sourceListController()->itemsPaths(), (Paths{encrypted}));
    EXPECT_FALSE(std::filesystem::exists(plain + ".zel"));
}

// Folders dragged in from the file manager are never taken from it, whatever
// keys are held: for the sidebar that would be a whole encrypted folder.
TEST_F(MainWindowTest, DropsFromOtherProgramsAreNeverMoves) {
    const std::string encrypted = folder("Dropped.zel");
    auto w = makeWindow();
    w->resize(900, 560);
    w->show();
    QCoreApplication::processEvents();
    std::unique_ptr<QMimeData> mime(urls({encrypted}));
    QWidget* sidebar = w->sourceListController()->sourceTableView()->viewport();
    struct Target {
        const char* name;
        QWidget* widget;
        bool copies;  // the drop views may link instead
    };
    struct Keys {
        const char* name;
        Qt::KeyboardModifiers modifiers;
    };
    for (const Target& t :
         {Target{"sidebar", sidebar, true}, Target{"drop view", w->dropView(), false},
          Target{"sidebar drop view", w->sidebarDropView(), false}})
        for (const Keys& k : {Keys{"none", Qt::NoModifier}, Keys{"Shift", Qt::ShiftModifier},
                              Keys{"Ctrl+Shift", Qt::ControlModifier | Qt::ShiftModifier}}) {
            SCOPED_TRACE(std::string(t.name) + " " + k.name);
            w->sourceListController()->ejectSelected();
            auto r = testsupport::dropFromOutside(t.widget, mime.get(), t.widget->rect().center(),
                                                  k.modifiers);
            EXPECT_TRUE(r.dropAccepted);
            EXPECT_NE(r.moveAction, Qt::MoveAction);
            EXPECT_NE(r.dropAction, Qt::MoveAction);
            if (t.copies) {
                EXPECT_EQ(r.dropAction, Qt::CopyAction);
            }
            EXPECT_EQ(w->sourceListController()->itemsPaths(), (Paths{encrypted}));
            EXPECT_TRUE(std::filesystem::exists(encrypted));
        }
}

TEST(SidebarDropView, PictureScalesWithTheWidthUpToOnePointOneFive) {
    QVSidebarDropView view;
    EXPECT_EQ(view.opaqueness(), 0.15);
    EXPECT_EQ(view.pictureSizeForWidth(360), QSizeF(180 * 1.15, 86 * 1.15));
    EXPECT_EQ(view.pictureSizeForWidth(90), QSizeF(90, 43));
    EXPECT_EQ(QVDropView().opaqueness(), 0.5);
}

TEST(GradientView, GreysFromTopToBottom) {
    QVGradientView view;
    view.resize(40, 200);
    QImage image(view.size(), QImage::Format_RGB32);
    view.render(&image);
    EXPECT_NEAR(qGray(image.pixel(20, 0)), 207, 2);
    EXPECT_NEAR(qGray(image.pixel(20, 199)), 166, 2);
    EXPECT_EQ(qGray(image.pixel(0, 0)), qGray(image.pixel(39, 0)));  // no sideways change

    // One colour when both are the same.
    view.setEndingColor(view.startingColor());
    view.render(&image);
    EXPECT_EQ(image.pixel(20, 0), image.pixel(20, 199));
}

}  // namespace
