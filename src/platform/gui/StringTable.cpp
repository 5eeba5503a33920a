#include "platform/gui/StringTable.h"

#include <cctype>
#include <map>
#include <vector>

#include "platform/core/Console.h"
#include "platform/core/Value.h"

namespace platform {

// Generated from src/app/resources/strings.json at configure time.
extern const char* const kStringTableJSON;

namespace {

using Tables = std::map<std::string, std::map<std::string, std::string, std::less<>>, std::less<>>;

Tables loadTables() {
    Tables tables;
    Error error;
    auto parsed = Value::fromJSON(kStringTableJSON, &error);
    const auto* root = parsed ? parsed->ifDictionary() : nullptr;
    if (!root) {
        consoleLog("StringTable > load > the built-in string table is unreadable: %s",
                   error.description.c_str());
        return tables;
    }
    for (const auto& [name, table] : *root) {
        const auto* entries = table.ifDictionary();
        if (!entries) continue;
        auto& out = tables[name];
        for (const auto& [key, text] : *entries) {
            if (const auto* s = text.ifString()) out.emplace(key, *s);
        }
    }
    return tables;
}

const Tables& tables() {
    static const Tables t = loadTables();
    return t;
}

}  // namespace

std::string localizedString(std::string_view key, std::string_view table,
                            std::string_view defaultValue) {
    const auto& all = tables();
    if (auto t = all.find(table); t != all.end()) {
        if (auto e = t->second.find(key); e != t->second.end()) return e->second;
    }
    return std::string(defaultValue);
}

std::string formatText(std::string_view format, std::initializer_list<std::string_view> args) {
    const std::vector<std::string_view> list(args);
    std::string out;
    out.reserve(format.size() + 32);
    size_t next = 0;
    size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            out += c;
            ++i;
            continue;
        }
        if (format[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        size_t j = i + 1;
        // Optional position "n$".
        size_t position = 0;
        size_t k = j;
        while (k < format.size() && std::isdigit(static_cast<unsigned char>(format[k]))) {
            position = position * 10 + static_cast<size_t>(format[k] - '0');
            ++k;
        }
        if (k > j && k < format.size() && format[k] == '$' && position > 0) {
            j = k + 1;
        } else {
            position = 0;
        }
        size_t lengthStart = j;
        while (j < format.size() && format[j] == 'l' && j - lengthStart < 2) ++j;
        if (j >= format.size()) {
            out.append(format.substr(i));
            break;
        }
        const char conv = format[j];
        const bool isText = (conv == '@' || conv == 's') && j == lengthStart;
        const bool isNumber = conv == 'd' || conv == 'i' || conv == 'u';
        if (!isText && !isNumber) {
            out.append(format.substr(i, j - i + 1));
            i = j + 1;
            continue;
        }
        size_t index = position ? position - 1 : next++;
        if (index < list.size()) out.append(list[index]);
        i = j + 1;
    }
    return out;
}

}  // namespace platform
