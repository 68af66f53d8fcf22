// A control daemon that takes the connection and never answers: the
// forwarded job ends with the node's E020 within the alive test's deadline.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "support/run.hpp"

TEST(ForwardSlow, SilentDaemonEndsWithinTheDeadline) {
    testsupport::Sandbox server;
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.33", &a.sin_addr);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(::listen(s, 8), 0);  // connections complete in the backlog; nobody answers
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
    server.set_config("[CTRLD_Server]", "CTRLD_Port", std::to_string(ntohs(a.sin_port)));
    testsupport::RunResult db = server.exec(
        {server.path("ro/bin/damisql"), "-d", "zarvo_db", "-q",
         "insert into clients (client_id, name, os, accessmode) values (33, '127.0.0.33', 'Linux', 'CTRL')"});
    ASSERT_EQ(db.rc, 0) << db.err;

    testsupport::RunOptions opt;
    opt.timeout_ms = 120000;
    auto t0 = std::chrono::steady_clock::now();
    testsupport::RunResult r = server.sm({"-c", "127.0.0.33", "-f", "G", "-n", "gv_x"}, opt);
    auto secs =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
    ::close(s);
    EXPECT_EQ(r.rc, 1) << r.err;
    EXPECT_NE(r.err.find("STATUS=WARNING MSG=E020-HOSTS   Computer 127.0.0.33 currently not reachable ("),
              std::string::npos)
        << r.err;
    EXPECT_LT(secs, 75);
}
