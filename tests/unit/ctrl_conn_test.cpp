// The control connection against a scripted daemon, its error record, the system error texts.
#include "remote/ctrl_conn.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

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

namespace {

// Connects to 127.0.0.1:port from another loopback address.
posix::UniqueFd connect_from(const char* source, int port) {
    posix::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &a.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (!posix::connect_until(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a,
                              posix::Deadline::after_ms(1000)))
        return {};
    return fd;
}

}  // namespace

TEST(CtrlConn, StrangersNeitherTakeNorProlongTheWaitForTheSecondConnection) {
    for (bool daemon_calls_back : {false, true}) {
        SCOPED_TRACE(daemon_calls_back ? "daemon calls back" : "only strangers");
        std::string err;
        posix::UniqueFd lsn = posix::tcp_listen("127.0.0.1", 0, 4, err);
        ASSERT_TRUE(lsn) << err;
        struct sockaddr_in la {};
        socklen_t ll = sizeof la;
        ::getsockname(lsn.get(), reinterpret_cast<sockaddr*>(&la), &ll);
        std::thread daemon([&] {
            posix::UniqueFd c = posix::accept_until(lsn.get(), posix::Deadline::after_ms(3000));
            ASSERT_TRUE(c);
            std::string req;
            char ch;
            int fields = 0;
            while (fields < 3 && posix::read_some(c.get(), &ch, 1, posix::Deadline::after_ms(3000)) == 1) {
                req.push_back(ch);
                fields += ch == '\0';
            }
            EXPECT_EQ(req.substr(req.find('\0')), std::string("\0user\0cmd\0", 10));
            const int port2 = std::atoi(req.c_str());
            posix::send_all(c.get(), std::string(1, '\0'));
            // Two strangers at 0.4 s and 0.8 s of a 1 s wait.
            for (int i = 0; i < 2; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
                EXPECT_TRUE(connect_from("127.0.0.2", port2));
            }
            if (daemon_calls_back) {
                posix::UniqueFd back = connect_from("127.0.0.1", port2);
                EXPECT_TRUE(back);
                posix::send_all(back.get(), "2nd");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        });
        std::string host = "127.0.0.1";
        int sd1 = -1, sd2 = -1;
        const auto t0 = std::chrono::steady_clock::now();
        const int rc = sm_ctrl(host, ntohs(la.sin_port), 0, 0, "user", "cmd", &sd1, &sd2, 1);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                .count();
        posix::UniqueFd own1(sd1), own2(sd2);
        if (daemon_calls_back) {
            EXPECT_EQ(rc, 0) << sm_ctrl_geterror();
            char buf[3];
            EXPECT_EQ(posix::read_exact(sd2, buf, 3, posix::Deadline::after_ms(1000)), 3);
        } else {
            EXPECT_EQ(rc, kCtrlFailure);
            EXPECT_EQ(sm_ctrl_geterror(), "Connection timeout. accept() call failed.");
            EXPECT_GE(ms, 950);
            EXPECT_LT(ms, 1300);  // one second in all, not one more per stranger
        }
        daemon.join();
    }
}
