#pragma once
// One platform::Application for a GUI test program, offscreen unless the
// caller chose a platform. Include in one source file of the program:
//
//   #include "support/QtTestApp.h"
//   TESSARO_QT_TEST_APP();
//
// Tests then spin the event loop with testsupport::spinUntil.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>
#include <memory>

#include "platform/gui/Application.h"

namespace testsupport {

class QtTestApp : public ::testing::Environment {
  public:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "tessaro-test";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<platform::Application>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

  private:
    std::unique_ptr<platform::Application> app_;
};

// Runs the event loop until `done` holds or the (generous) limit passes;
// the result says which. The limit only guards against a hang.
inline bool spinUntil(const std::function<bool()>& done, int limitMs = 20000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

}  // namespace testsupport

#define TESSARO_QT_TEST_APP()                                                    \
    [[maybe_unused]] static ::testing::Environment* const tessaro_qt_test_app_ = \
        ::testing::AddGlobalTestEnvironment(new ::testsupport::QtTestApp)
