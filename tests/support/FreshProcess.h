#pragma once
// For a test that depends on state a library sets up once per process and
// never reads again (GLib's XDG folders, the D-Bus session bus connection):
// the test runs again, alone, in a fresh process of the test program, so it
// passes or fails the same whether the whole program runs or only the test.
//
//   TEST(Suite, Name) {
//       if (!testsupport::inFreshProcess()) return;
//       ...
//   }

namespace testsupport {

// True in the fresh process: run the test's body. In the calling process it
// runs the fresh one (its output passed through), records a failure when that
// one fails, and answers false.
bool inFreshProcess();

}  // namespace testsupport
