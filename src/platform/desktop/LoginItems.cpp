#include "platform/desktop/LoginItems.h"

#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/core/Files.h"
#include "platform/core/Process.h"
#include "platform/core/XdgPaths.h"

namespace platform {

namespace {

constexpr const char* kGroup = "Desktop Entry";

struct KeyFileFree {
    void operator()(GKeyFile* k) const { g_key_file_free(k); }
};

std::string takeString(gchar* s) {
    std::string r = s ? s : "";
    g_free(s);
    return r;
}

// The program of an Exec= value: its first word as the desktop-entry rules
// quote it ("%%" is a literal "%"), looked up on PATH when it has no slash.
std::string programOfExec(const std::string& exec) {
    gchar** argv = nullptr;
    if (!g_shell_parse_argv(exec.c_str(), nullptr, &argv, nullptr)) return {};
    std::string program = argv[0] ? argv[0] : "";
    g_strfreev(argv);
    for (size_t at = 0; (at = program.find("%%", at)) != std::string::npos; ++at)
        program.erase(at, 1);
    if (program.empty() || program.find('/') != std::string::npos) return program;
    return takeString(g_find_program_in_path(program.c_str()));
}

struct ParsedEntry {
    LoginItems::Entry entry;
    bool hidden = false;
};

std::optional<ParsedEntry> readEntry(const std::string& path) {
    // Only a regular file is read: a FIFO in its place must not hang us.
    const auto text = readRegularFile(path);
    if (!text) return std::nullopt;
    std::unique_ptr<GKeyFile, KeyFileFree> k(g_key_file_new());
    if (!g_key_file_load_from_data(k.get(), text->data(), text->size(), G_KEY_FILE_NONE, nullptr) ||
        !g_key_file_has_group(k.get(), kGroup))
        return std::nullopt;
    ParsedEntry p;
    p.entry.file = path;
    p.entry.name =
        takeString(g_key_file_get_locale_string(k.get(), kGroup, "Name", nullptr, nullptr));
    p.entry.program =
        programOfExec(takeString(g_key_file_get_string(k.get(), kGroup, "Exec", nullptr)));
    p.entry.icon = takeString(g_key_file_get_string(k.get(), kGroup, "Icon", nullptr));
    p.entry.ours = g_key_file_get_boolean(k.get(), kGroup, LoginItems::kMarkerKey, nullptr);
    p.hidden = g_key_file_get_boolean(k.get(), kGroup, "Hidden", nullptr);
    return p;
}

bool isOurs(const std::string& path) {
    auto p = readEntry(path);
    return p && p->entry.ours;
}

// One argument of Exec=: quoted, with the characters the quoting reserves
// escaped, then the desktop entry's own escapes for a string value.
std::string execArgument(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (char c : quoted) {
        if (c == '\\')
            value += "\\\\";
        else if (c == '%')
            value += "%%";
        else
            value += c;
    }
    return value;
}

}  // namespace

std::string LoginItems::entryPath() {
    return xdgConfigHome() + "/autostart/" + kEntryName;
}

bool LoginItems::isLoginItem() {
    auto p = readEntry(entryPath());
    return p && p->entry.ours && !p->hidden;
}

bool LoginItems::add(const std::string& executable) {
    const std::string program = executable.empty() ? applicationPath() : executable;
    // A desktop entry is UTF-8 text: a path with other bytes would give an
    // entry the session cannot read, and that we could never find again.
    if (program.empty() || program.find_first_of("\r\n") != std::string::npos ||
        !g_utf8_validate(program.data(), static_cast<gssize>(program.size()), nullptr))
        return false;
    const std::string path = entryPath();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    // Someone else's entry under our name stays; so does whatever cannot be
    // looked at (a loop of links).
    const bool present = std::filesystem::exists(path, ec);
    if (ec || (present && !isOurs(path))) return false;
    const std::string entry = std::string("[Desktop Entry]\n") + "Type=Application\n" +
                              "Name=Tessaro\n" + "Icon=tessaro\n" +
                              "Exec=" + execArgument(program) + "\n" + kMarkerKey + "=true\n";
    return replaceFileContents(path, entry);
}

bool LoginItems::remove() {
    return removeEntry(entryPath());
}

std::vector<LoginItems::Entry> LoginItems::entries() {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(xdgConfigHome() + "/autostart", ec))
        if (e.path().extension() == ".desktop" && e.is_regular_file(ec))
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    std::vector<Entry> list;
    for (const auto& f : files)
        if (auto p = readEntry(f); p && !p->hidden) list.push_back(std::move(p->entry));
    return list;
}

bool LoginItems::removeEntry(const std::string& file) {
    if (!isOurs(file)) return false;
    return std::remove(file.c_str()) == 0;
}

}  // namespace platform
