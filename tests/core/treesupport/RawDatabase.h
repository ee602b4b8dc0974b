#pragma once

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tarni::testing {

// A second, plain connection for looking at (and meddling with) a database
// file the way another program would.
class RawDatabase {
public:
    explicit RawDatabase(const std::filesystem::path &path)
    {
        EXPECT_EQ(sqlite3_open(path.c_str(), &m_db), SQLITE_OK);
        sqlite3_busy_timeout(m_db, 2000);
    }
    ~RawDatabase() { sqlite3_close_v2(m_db); }
    RawDatabase(const RawDatabase &) = delete;
    RawDatabase &operator=(const RawDatabase &) = delete;

    void exec(const std::string &sql)
    {
        char *message = nullptr;
        EXPECT_EQ(sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
            << sql << ": " << (message ? message : "");
        sqlite3_free(message);
    }

    // Every row as text, columns joined by '|', NULL as "<null>".
    std::vector<std::string> rows(const std::string &sql)
    {
        std::vector<std::string> result;
        sqlite3_stmt *s = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(m_db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sql;
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                if (i)
                    row += '|';
                const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, i));
                row += text ? text : "<null>";
            }
            result.push_back(row);
        }
        sqlite3_finalize(s);
        return result;
    }

    std::string value(const std::string &sql)
    {
        auto all = rows(sql);
        return all.empty() ? std::string() : all.front();
    }

private:
    sqlite3 *m_db = nullptr;
};

} // namespace tarni::testing
