// Every alert of the application with more than one button: Escape answers
// its cancelling button, never a destructive one; Return answers the default.

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <filesystem>
#include <functional>

#include "FileSystem/QVFileSystem.h"
#include "MainWindowFixture.h"
#include "app/browser/QVInfoPanelController.h"
#include "app/logic/QVCopyProgressPresenter.h"
#include "app/mainwindow/QVFolderExtensionAlert.h"
#include "app/startup/QVRatePromptPresenter.h"
#include "app/startup/QVStartupAlerts.h"
#include "app/statusmenu/QVMountDesktop.h"
#include "support/QtSpin.h"

namespace testsupport {
namespace {

using platform::localizedString;

// Shows a selection of one item and nothing else.
class SelectingBrowser : public QVBrowserInterface {
  public:
    explicit SelectingBrowser(std::string selected) : selected_(std::move(selected)) {}
    QWidget* view() override { return view_; }
    void setFileSystem(std::shared_ptr<QVFileSystem>) override {}
    void reload() override {}
    std::vector<std::string> selectedFiles() const override { return {selected_}; }
    std::string currentDirectory() const override { return "/"; }
    bool selectItemWithPath(const std::string&) override { return false; }
    void editSelectedItem() override {}

  private:
    std::string selected_;
    QWidget* view_ = new QWidget;
};

// The text of the button that `key` presses on the one alert that shows.
std::string answerTo(int key) {
    auto alerts = platform::visibleAlerts();
    if (alerts.size() != 1) return "(" + std::to_string(alerts.size()) + " alerts)";
    QMessageBox* box = alerts[0];
    std::string pressed = "(nothing)";
    QObject::connect(box, &QMessageBox::buttonClicked, box,
                     [&](QAbstractButton* b) { pressed = b->text().toStdString(); });
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(box, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(box, &release);
    QCoreApplication::processEvents();
    if (pressed == "(nothing)") {  // an alert Escape leaves up
        box->hide();
        box->deleteLater();
    }
    spinUntil([] { return platform::visibleAlerts().empty(); });
    return pressed;
}

using AlertEscapeTest = MainWindowTest;

TEST_F(AlertEscapeTest, EscapeCancelsAndReturnTakesTheDefaultInEveryAlert) {
    const std::string path = folder("Box.zel");
    std::filesystem::create_directories(std::filesystem::path(path) / "kept");
    auto w = makeWindow(std::make_unique<SelectingBrowser>("/kept"));
    w->addVolumes({path});
    settle(*w);
    w->passwordTextField()->setText("secret");
    w->unlockVolume();
    settle(*w);
    ASSERT_TRUE(w->currentFileSystem() && w->currentFileSystem()->isMounted());
    w->show();

    QVInfoPanelController panel;
    panel.setFileSystem(w->currentFileSystem(), path);
    panel.show();
    panel.showNewUserSheet();
    panel.addUserNameField->setText("bob");
    panel.addUserPasswordField->setText("pw");
    panel.addUserPasswordConfirmField->setText("pw");
    panel.closeAddUserSheet(true);
    ASSERT_TRUE(testsupport::spinUntil([&] { return !panel.isAddingUser(); }));
    ASSERT_EQ(panel.users().size(), 2u);
    const int bobRow = panel.users()[0].shortUserName() == "bob" ? 0 : 1;

    QVRatePromptPresenter rate([&] { return static_cast<QWidget*>(w.get()); });
    QVFuseInstallSheet fuse([&] { return static_cast<QWidget*>(w.get()); });
    QVMoveToApplicationsAlerts move;
    QVMountDesktop desktop(nullptr);
    auto copyAlert = [&](const QVImportExportMessage& m) {
        QVCopyProgressPresenter::alertFor(m).open(w.get());
    };
    QVImportExportMessage alias;
    alias.titleKey = "alertAliasHeading";
    alias.messageKey = "alertAliasText";
    alias.buttonKeys = {"skip", "stop"};
    int plain = 0;  // a declined offer is remembered: a new folder each time

    struct Case {
        const char* name;
        std::function<void()> open;
        std::string escape, enter;  // the buttons' texts
    };
    const Case cases[] = {
        {"main window: delete items", [&] { w->deleteSelectedItems(); }, localizedString("Cancel"),
         localizedString("Cancel")},
        {"info panel: remove user",
         [&] {
             panel.selectUser(bobRow);
             panel.removeUser();
         },
         localizedString("Cancel"), localizedString("Cancel")},
        {"copy: the item already exists",
         [&] { copyAlert(QVImportExportController::conflictQuestion("x")); },
         localizedString("alertFileExistsStop"), localizedString("alertFileExistsStop")},
        {"copy: links", [&] { copyAlert(alias); }, localizedString("skip"),
         localizedString("skip")},
        {"rate prompt",
         [&] {
             rate.showAlert({"Rate", "Like it?", "Rate now", "No thanks", "Later"}, {});
         },
         "Later", "Rate now"},
        {"rate prompt without later",
         [&] {
             rate.showAlert({"Rate", "Like it?", "Rate now", "No thanks", ""}, {});
         },
         "No thanks", "Rate now"},
        {"outdated FUSE", [&] { fuse.showOutdatedAlert("Old", "Update?", "Update", "Later", {}); },
         "Later", "Update"},
        {"move to applications",
         [&] { move.showMoveOffer("Move?", "Info", "Move", "Do Not Move", {}); }, "Do Not Move",
         "Move"},
        {"folder extension offer",
         [&] {
             app::offerFolderExtension({folder("Plain" + std::to_string(++plain))}, defaults,
                                       w.get(), {});
         },
         localizedString("appendFileExtensionAlertCancel"),
         localizedString("appendFileExtensionAlertAppend")},
        {"mount: extension offer",
         [&] {
             desktop.showAlert("t", "m",
                               {localizedString("appendFileExtensionAlertAppend"),
                                localizedString("appendFileExtensionAlertCancel")},
                               {});
         },
         localizedString("appendFileExtensionAlertCancel"),
         localizedString("appendFileExtensionAlertAppend")},
        {"mount: could not unmount at quit",
         [&] {
             desktop.showAlert("t", "m", {"OK", "Quit anyway"}, {});
         },
         "OK", "OK"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.open();
        EXPECT_EQ(answerTo(Qt::Key_Escape), c.escape);
        c.open();
        EXPECT_EQ(answerTo(Qt::Key_Return), c.enter);
    }
    // Nothing was deleted or removed on the way.
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(path) / "kept"));
    EXPECT_EQ(panel.users().size(), 2u);
}

// An alert without a cancelling button: Escape and closing answer nothing.
TEST_F(AlertEscapeTest, WithoutACancellingButtonEscapeAnswersNothing) {
    platform::Alert a;
    a.buttons = {"Replace", "Delete"};
    int answers = 0;
    a.open(nullptr, [&](int, bool) { ++answers; });
    EXPECT_EQ(answerTo(Qt::Key_Escape), "(nothing)");
    EXPECT_EQ(answers, 0);
}

}  // namespace
}  // namespace testsupport
