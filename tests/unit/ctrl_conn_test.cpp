// The error record of the control connection and the system error texts.
#include "remote/ctrl_conn.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "remote/syserrtxt.hpp"
#include "util/posix.hpp"

TEST(Syserrtxt, ClassesAndDescriptions) {
    EXPECT_STREQ(syserrtxt(1, kErrHsocket, "lookup of %s", "h"),
                 "HSOCKET error: 1 - Host is unknown. lookup of h");
    EXPECT_EQ(std::string(syserrtxt(ETIMEDOUT, kErrSocket, "connect() call failed for host: [%s].", "x")),
              "STDLIB error: " + std::to_string(ETIMEDOUT) + " - " + posix::errtext(ETIMEDOUT) +
                  ". connect() call failed for host: [x].");
    EXPECT_STREQ(syserrtxt(0, kErrStdlib, "only %d", 5), "only 5");
    EXPECT_STREQ(syserrtxt(7, 0, "no class"), " no class");
    EXPECT_STREQ(syserrtxt(0x1f, kErrWin32, "w"), "Unknown error code: [1f]. w");
    EXPECT_STREQ(syserrtxt(99, kErrHsocket, nullptr), "Unknown error code: [63].");
    EXPECT_STREQ(syserrtxt(255, kErrExchange, "e"), "Unknown error code: [ff]. e");
    EXPECT_STREQ(syserrtxt(ENOENT, kErrStdlib, nullptr), "STDLIB error: 2 - No such file or directory.");
    // One static text of at most 511 characters.
    std::string longdesc(2000, 'd');
    EXPECT_LE(std::strlen(syserrtxt(ENOENT, kErrStdlib, "%s", longdesc.c_str())), 511u);
}

TEST(CtrlError, FirstErrorIsKeptUntilRead) {
    sm_ctrl_geterror();
    sm_processerror("first problem \r\n  ");
    sm_processerror("second problem");
    EXPECT_EQ(sm_ctrl_geterror(), "first problem");
    sm_processerror(std::string(400, 'e').c_str());
    EXPECT_EQ(sm_ctrl_geterror(), std::string(259, 'e'));
}
