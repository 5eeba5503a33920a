#pragma once
// Runs the Qt event loop until a condition holds, for tests that wait on
// events (queued tasks, another process). The limit only guards against a
// hang: the result says whether the condition came true.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace testsupport {

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
