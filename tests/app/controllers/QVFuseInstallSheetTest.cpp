#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "app/startup/QVStartupAlerts.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

namespace {

// The real sheet following a fake package manager that installs
// fusermount3 into a fake PATH once "allow" exists.
TEST(QVFuseInstallSheet, ShowsEachStateOfTheInstallerAndItsButtonsAct) {
    testsupport::TempDir tmp;
    std::filesystem::create_directory(tmp / "bin");
    QVFuseProbe probe;
    probe.devicePath = "/dev/null";
    probe.searchPath = (tmp / "bin").string();
    probe.libraryVersion = [] { return std::optional<std::string>("3.14.0"); };
    const std::vector<std::string> command = {
        "/bin/sh", "-c",
        "test -e \"$1/allow\" || exit 1; printf '#!/bin/sh\\n' >\"$1/bin/fusermount3\" && "
        "chmod +x \"$1/bin/fusermount3\"",
        "sh", tmp.path().string()};

    auto sheet = std::make_shared<QVFuseInstallSheet>(nullptr);
    int helpers = 0, relaunches = 0;
    QVFuseInstaller installer(
        sheet, [](const std::string& key) { return "<" + key + ">"; },
        {[&] { ++helpers; }, [&] { ++relaunches; }}, probe, command);
    sheet->setInstaller(&installer);

    installer.installFuse();
    ASSERT_NE(sheet->sheet(), nullptr);
    EXPECT_TRUE(sheet->sheet()->isVisible());
    EXPECT_EQ(sheet->installProgressBar()->maximum(), 0) << "busy";
    EXPECT_EQ(sheet->installStatusLabel()->text(), "<installWaiting>");
    EXPECT_FALSE(sheet->installCancelButton()->isHidden());
    EXPECT_TRUE(sheet->installOKButton()->isHidden());
    EXPECT_TRUE(sheet->installRetryButton()->isHidden());
    EXPECT_TRUE(sheet->installShowFinderLabel()->isHidden());

    ASSERT_TRUE(testsupport::spinUntil([&] { return !installer.isWaitingForInstaller(); }));
    EXPECT_EQ(sheet->installStatusLabel()->text(), "<installFailed>");
    EXPECT_EQ(sheet->installShowFinderLabel()->text(), "<installRestart>");
    EXPECT_FALSE(sheet->installShowFinderLabel()->isHidden());
    EXPECT_EQ(sheet->installProgressBar()->maximum(), 100);
    EXPECT_EQ(sheet->installProgressBar()->value(), 0);
    EXPECT_FALSE(sheet->installRetryButton()->isHidden());
    EXPECT_TRUE(sheet->installOKButton()->isHidden());

    testsupport::writeFile(tmp / "allow", "");
    QTest::mouseClick(sheet->installRetryButton(), Qt::LeftButton);
    EXPECT_EQ(sheet->installStatusLabel()->text(), "<installWaiting>");
    ASSERT_TRUE(testsupport::spinUntil([&] { return !installer.isWaitingForInstaller(); }));
    EXPECT_EQ(sheet->installStatusLabel()->text(), "<installComplete>");
    EXPECT_EQ(sheet->installShowFinderLabel()->text(), "<installUseFinder>");
    EXPECT_EQ(sheet->installProgressBar()->value(), 100);
    EXPECT_TRUE(sheet->installCancelButton()->isHidden());
    EXPECT_TRUE(sheet->installRetryButton()->isHidden());
    EXPECT_EQ(helpers, 1);

    QTest::mouseClick(sheet->installOKButton(), Qt::LeftButton);
    EXPECT_FALSE(sheet->sheet()->isVisible());
    EXPECT_EQ(relaunches, 1);
}

}  // namespace
