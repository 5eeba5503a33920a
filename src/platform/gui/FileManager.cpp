#include "platform/gui/FileManager.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QUrl>
#include <filesystem>

#include "platform/desktop/URLHandlers.h"

namespace platform {

namespace {
std::function<void(const std::string&, const std::string&)>& override() {
    static std::function<void(const std::string&, const std::string&)> f;
    return f;
}
}  // namespace

void setFileManagerOverride(std::function<void(const std::string&, const std::string&)> f) {
    override() = std::move(f);
}

void showItemInFileManager(const std::string& path) {
    const QString item = QString::fromStdString(path);
    const QUrl uri = QUrl::fromLocalFile(item);
    // Never through the default handler of folders: where that is this
    // program, it would open the plain folder here instead.
    std::error_code ec;
    const std::string folder = std::filesystem::absolute(path, ec).parent_path().string();
    if (override()) {
        override()("ShowItems", uri.toString().toStdString());
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1",
                                                       "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{uri.toString()} << QString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        platform::openFolder(folder);
        return;
    }
    // Answered later; only a failure matters, and then the folder opens.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                     [folder](QDBusPendingCallWatcher* w) {
                         if (w->isError()) platform::openFolder(folder);
                         w->deleteLater();
                     });
}

}  // namespace platform
