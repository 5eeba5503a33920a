// The window's unlock runs in the background: the window answers meanwhile,
// a second submit is ignored, a result for a folder no longer shown is
// dropped with its handle locked, and a keyring that has not answered yet is
// not asked until it has.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "MainWindowFixture.h"
#include "app/mainwindow/QVSourceListController.h"
#include "support/UnlockGate.h"

using platform::localizedString;
using testsupport::MainWindowTest;
using testsupport::spinUntil;

namespace {

// Counts the main thread's timer ticks.
struct Ticker {
    QTimer timer;
    int ticks = 0;
    Ticker() {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this] { ++ticks; });
        timer.start();
    }
};

std::string serviceFor(const std::string& user, const std::string& uuid) {
    return "Tessaro-Mobile-Folder-" + user + "-" + uuid;
}

using UnlockTest = MainWindowTest;

TEST_F(UnlockTest, TheWindowAnswersWhileAnUnlockRunsAndASecondSubmitIsIgnored) {
    testsupport::UnlockGate gate{false};
    unlockHook = gate.hook();
    const std::string path = folder("Slow.zel");
    auto w = makeWindow();
    w->show();
    w->addVolumes({path});
    settle(*w);
    EXPECT_EQ(gate.calls, 0);  // nothing remembered: nothing tried
    EXPECT_TRUE(w->passwordTextField()->isEnabled());

    w->passwordTextField()->setText("secret");
    w->unlockVolume();
    EXPECT_TRUE(w->unlockController().isUnlocking());
    EXPECT_FALSE(w->passwordTextField()->isEnabled());
    EXPECT_FALSE(w->unlockButton()->isEnabled());
    EXPECT_FALSE(w->usernamePopUp()->isEnabled());
    Ticker ticker;
    ASSERT_TRUE(spinUntil([&] { return gate.calls == 1 && ticker.ticks >= 3; }));
    EXPECT_TRUE(w->unlockController().isUnlocking());

    w->passwordTextField()->setText("secret");
    w->unlockVolume();  // ignored
    gate.release();
    settle(*w);
    EXPECT_EQ(gate.calls, 1);
    EXPECT_TRUE(w->currentFileSystem()->isMounted());
    EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 0);
    EXPECT_TRUE(w->passwordTextField()->isEnabled());
    EXPECT_TRUE(w->unlockButton()->isEnabled());
}

// Another folder chosen, or the window closed, while the unlock runs: its
// result is dropped and the handle it unlocked is locked again.
TEST_F(UnlockTest, AResultForAFolderNoLongerShownIsDroppedAndItsHandleLocked) {
    for (bool closeWindow : {false, true}) {
        SCOPED_TRACE(closeWindow ? "window closed" : "other folder");
        testsupport::UnlockGate gate{false};
        unlockHook = gate.hook();
        const std::string a = folder(closeWindow ? "A2.zel" : "A1.zel");
        const std::string b = folder(closeWindow ? "B2.zel" : "B1.zel");
        auto w = makeWindow();
        w->show();
        w->addVolumes({a, b});
        settle(*w);
        w->sourceListController()->setSelectedItemPath(a);
        settle(*w);
        std::shared_ptr<QVFileSystem> handle = w->currentFileSystem();
        ASSERT_TRUE(handle);
        w->passwordTextField()->setText("secret");
        w->unlockVolume();
        ASSERT_TRUE(spinUntil([&] { return gate.calls == 1; }));

        if (closeWindow) {
            w.reset();
        } else {
            w->sourceListController()->setSelectedItemPath(b);
            settle(*w);
        }
        gate.release();
        // The dropped result was the last holder of the handle.
        ASSERT_TRUE(spinUntil([&] { return handle.use_count() == 1; }));
        EXPECT_FALSE(handle->isMounted());
        if (w) {
            EXPECT_EQ(w->currentVolumePath(), b);
            EXPECT_FALSE(w->currentFileSystem()->isMounted());
            EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 1);
            EXPECT_FALSE(w->wrongPasswordTextField()->isVisibleTo(w.get()));
        }
    }
}

// A folder whose user has sixteen records (the most that are tried): each
// password costs every record's key derivation, off the main thread, with
// the messages of before.
TEST_F(UnlockTest, SixteenRecordsOfOneUserCostTheMainThreadNothing) {
    std::vector<testsupport::FolderUser> users{{"alice", "secret"}};
    for (int i = 0; i < 15; ++i) users.push_back({"alice", "other" + std::to_string(i)});
    testsupport::makeEncryptedFolder(dir / "Many.zel", users);
    const std::string path = (dir / "Many.zel").string();
    auto w = makeWindow();
    w->show();
    w->addVolumes({path});
    settle(*w);

    Ticker ticker;
    w->passwordTextField()->setText("wrong");
    w->unlockVolume();
    const int before = ticker.ticks;
    ASSERT_TRUE(w->unlockController().isUnlocking());
    settle(*w);
    EXPECT_GT(ticker.ticks, before);  // timers ran while the records were tried
    EXPECT_FALSE(w->currentFileSystem()->isMounted());
    EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 1);
    EXPECT_TRUE(w->wrongPasswordTextField()->isVisibleTo(w.get()));
    EXPECT_EQ(w->wrongPasswordTextField()->text(), "Wrong user name or password");

    w->passwordTextField()->setText("secret");
    w->unlockVolume();
    settle(*w);
    EXPECT_TRUE(w->currentFileSystem()->isMounted());
    EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 0);
    EXPECT_FALSE(w->wrongPasswordTextField()->isVisibleTo(w.get()));
}

// A keyring that has not answered (one that holds its name and never
// answers): the page opens at once with remembering off and nothing asked of
// it; its answer, from another thread, turns remembering on and opens the
// folder with the remembered password.
TEST_F(UnlockTest, AKeyringThatHasNotAnsweredIsAskedOnlyOnceItDoes) {
    const std::string path = folder("Later.zel");
    const std::string uuid = uuidOf(path);
    defaults.setObject("UserName-" + uuid, "alice");
    store.items[{serviceFor("alice", uuid), app::loginUserName()}] = "secret";
    store.available = false;
    auto w = makeWindow();
    w->show();
    w->addVolumes({path});
    settle(*w);
    EXPECT_EQ(store.lookups, 0);
    EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 1);
    EXPECT_FALSE(w->rememberPasswordCheckBox()->isEnabled());
    EXPECT_EQ(w->rememberPasswordCheckBox()->toolTip().toStdString(),
              localizedString("rememberPasswordUnavailable"));
    ASSERT_TRUE(store.observer);

    store.available = true;
    std::thread([&] { store.observer(true); }).join();
    ASSERT_TRUE(spinUntil([&] { return w->currentFileSystem()->isMounted(); }));
    settle(*w);
    EXPECT_EQ(store.lookups, 1);
    EXPECT_EQ(w->folderOrPasswordTabView()->currentIndex(), 0);
    EXPECT_TRUE(w->rememberPasswordCheckBox()->isEnabled());
    EXPECT_EQ(store.stores, 0);  // remembered already
}

// Typing has begun when the answer comes: the typed password is the user's.
TEST_F(UnlockTest, ALateKeyringAnswerNeverReplacesWhatIsTyped) {
    const std::string path = folder("Typing.zel");
    const std::string uuid = uuidOf(path);
    defaults.setObject("UserName-" + uuid, "alice");
    store.items[{serviceFor("alice", uuid), app::loginUserName()}] = "secret";
    store.available = false;
    auto w = makeWindow();
    w->addVolumes({path});
    settle(*w);
    w->passwordTextField()->setText("sec");
    store.available = true;
    ASSERT_TRUE(store.observer);
    std::thread([&] { store.observer(true); }).join();
    ASSERT_TRUE(spinUntil([&] { return w->rememberPasswordCheckBox()->isEnabled(); }));
    settle(*w);
    EXPECT_EQ(store.lookups, 0);
    EXPECT_FALSE(w->currentFileSystem()->isMounted());
    EXPECT_EQ(w->passwordTextField()->text(), "sec");
}

}  // namespace
