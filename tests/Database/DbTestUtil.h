#pragma once
// Raw SQLite access for checking what the configuration database wrote.

#include <sqlite3.h>

#include <string>
#include <vector>

namespace dbtest {

// Rows of a query, each column as text ("NULL" for null), joined by '|'.
inline std::vector<std::string> query(const std::string& path, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return {"open failed"};
    }
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
        rows.push_back(std::string("error: ") + sqlite3_errmsg(db));
    } else {
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                if (i) row += '|';
                const unsigned char* t = sqlite3_column_text(s, i);
                row += t ? reinterpret_cast<const char*>(t) : "NULL";
            }
            rows.push_back(row);
        }
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return rows;
}

// Runs statements read-write; returns SQLite's error text, empty on success.
inline std::string exec(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string err;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        err = sqlite3_errmsg(db);
    } else {
        char* e = nullptr;
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &e) != SQLITE_OK) err = e ? e : "?";
        sqlite3_free(e);
    }
    sqlite3_close(db);
    return err;
}

}  // namespace dbtest
