#include "platform/desktop/LoginItems.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/core/XdgPaths.h"

namespace platform {

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool hasLine(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l == line) return true;
    return false;
}

bool isOurs(const std::string& text) {
    return hasLine(text, std::string(LoginItems::kMarkerKey) + "=true");
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

std::string runningProgram() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

}  // namespace

std::string LoginItems::entryPath() {
    return xdgConfigHome() + "/autostart/" + kEntryName;
}

bool LoginItems::isLoginItem() {
    const std::string text = readAll(entryPath());
    return isOurs(text) && !hasLine(text, "Hidden=true");
}

bool LoginItems::add(const std::string& executable) {
    const std::string program = executable.empty() ? runningProgram() : executable;
    if (program.empty()) return false;
    const std::string path = entryPath();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    // Someone else's entry under our name stays.
    if (std::filesystem::exists(path) && !isOurs(readAll(path))) return false;
    const std::string temp = path + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << "[Desktop Entry]\n"
            << "Type=Application\n"
            << "Name=Tessaro\n"
            << "Exec=" << execArgument(program) << "\n"
            << kMarkerKey << "=true\n";
        if (!out.flush()) {
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

bool LoginItems::remove() {
    const std::string path = entryPath();
    if (!isOurs(readAll(path))) return false;
    return std::remove(path.c_str()) == 0;
}

}  // namespace platform
