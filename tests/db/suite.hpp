// The database suite: the agent's database layer, in this process, against
// a real damisql and a real database. Each backend's test file provides the
// installation; the cases in suite.cpp run unchanged over every backend.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/sql.hpp"
#include "support/run.hpp"

struct DbInstall {
    virtual ~DbInstall() = default;
    testsupport::Sandbox sb;
};

// A fresh installation whose damisql serves an empty system database (the
// backend's first rows only).
std::unique_ptr<DbInstall> make_install();

class DbTest : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;

    // iDB_ACCESS with a fresh message; the list is the caller's.
    int sql(const std::string& stmt, std::string& msg, DB_REC_LIS* rl = nullptr);
    // Record texts of a query that must succeed; the list is released.
    std::vector<std::string> records(const std::string& stmt);
    // A protocol line with the tag and text (the process id stands between).
    bool prot_has(const std::string& tag, const std::string& text) const;
    // What the "ctrl_db" lock file holds: empty unless someone holds it.
    std::string sem_record() const;
    // Points the agent at another tool directory.
    void use_tool_dir(const std::string& dir) const;

    std::unique_ptr<DbInstall> inst;
    str_log log;
};
