#include "util/names.hpp"

#include <gtest/gtest.h>

#include <string>

TEST(Names, WhatMayBecomeAFileNameOrRequestId) {
    struct Row {
        std::string s;
        bool name, word, id;
    };
    const Row rows[] = {
        {"", false, false, false},
        {".", false, false, false},
        {"..", false, false, false},
        {"../x", false, false, false},
        {"a/b", false, false, false},
        {"a\\b", false, false, false},
        {"-x", false, true, true},  // an option to whoever gets it, fine inside a file name
        {"..x", true, true, true},
        {"nst0", true, true, true},
        {"TAPE_STATUS_3.x-1", true, true, true},
        {"a b", true, false, false},
        {"$(x)", true, false, false},
        {"a;b", true, false, false},
        {"a\nb", true, false, false},
        {"\xe4", true, false, false},
        {std::string(29, '7'), true, true, true},
        {std::string(30, '7'), true, true, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(is_plain_name(r.s), r.name) << r.s;
        EXPECT_EQ(is_plain_word(r.s), r.word) << r.s;
        EXPECT_EQ(is_request_id(r.s), r.id) << r.s;
    }
}
