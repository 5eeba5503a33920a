#pragma once
// One platform::Application for a GUI test program, offscreen unless the
// caller chose a platform. Include in one source file of the program:
//
//   #include "support/QtTestApp.h"
//   TESSARO_QT_TEST_APP();
//
// Tests then spin the event loop with testsupport::spinUntil (QtSpin.h).

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>

#include "platform/gui/Application.h"
#include "support/QtSpin.h"

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

}  // namespace testsupport

#define TESSARO_QT_TEST_APP()                                                    \
    [[maybe_unused]] static ::testing::Environment* const tessaro_qt_test_app_ = \
        ::testing::AddGlobalTestEnvironment(new ::testsupport::QtTestApp)
