// The client session against a scripted daemon on loopback: the request it
// sends, the three streams, the exit code as urgent byte, the failures.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "remote/ctrl_conn.hpp"
#include "remote/ctrl_wire.hpp"
#include "remote/ctrlc_session.hpp"
#include "remote/syserrtxt.hpp"
#include "support/run.hpp"
#include "util/posix.hpp"
#include "util/timeutil.hpp"

namespace {

using testsupport::read_file;
using testsupport::write_file;

// What the scripted daemon saw and what it does.
struct Seen {
    CtrlRequest req;
    std::string input;
};
struct Reply {
    std::string out, err;
    int code = 0;           // urgent byte; -1 sends none
    bool read_input = true;
};

class ScriptedDaemon {
public:
    explicit ScriptedDaemon(std::function<Reply(const Seen&)> script) {
        ls_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(ls_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(ls_.get(), 4);
        socklen_t l = sizeof a;
        ::getsockname(ls_.get(), reinterpret_cast<sockaddr*>(&a), &l);
        port_ = ntohs(a.sin_port);
        th_ = std::thread([this, script] { serve(script); });
    }
    ~ScriptedDaemon() { th_.join(); }
    int port() const { return port_; }
    const Seen& seen() const { return seen_; }

private:
    void serve(const std::function<Reply(const Seen&)>& script) {
        struct pollfd p {ls_.get(), POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return;
        posix::UniqueFd c1(::accept4(ls_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        CtrlRequestReader r;
        char buf[65536];
        while (r.feed({}) == CtrlRequestReader::NeedMore) {
            ssize_t n = ::recv(c1.get(), buf, sizeof buf, 0);
            if (n <= 0) return;
            r.feed(std::string_view(buf, static_cast<size_t>(n)));
        }
        seen_.req = r.request();
        ::send(c1.get(), "", 1, 0);
        posix::UniqueFd c2;
        if (seen_.req.second_port) {
            struct sockaddr_in a {};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(seen_.req.second_port));
            c2.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            ::connect(c2.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        StdinEndScanner sc;
        sc.feed(r.rest(), seen_.input);
        Reply rep = script(seen_);
        while (rep.read_input && !sc.ended()) {
            ssize_t n = ::recv(c1.get(), buf, sizeof buf, 0);
            if (n <= 0) break;
            sc.feed(std::string_view(buf, static_cast<size_t>(n)), seen_.input);
        }
        rep = script(seen_);
        posix::write_all(c1.get(), rep.out);
        int errfd = c2 ? c2.get() : c1.get();
        posix::write_all(errfd, rep.err);
        if (rep.code >= 0) {
            unsigned char b = static_cast<unsigned char>(rep.code);
            ::send(errfd, &b, 1, MSG_OOB);
        }
        if (c2) ::shutdown(c2.get(), SHUT_WR);
        ::shutdown(c1.get(), SHUT_WR);
        while (::recv(c1.get(), buf, sizeof buf, 0) > 0) {
        }
    }

    posix::UniqueFd ls_;
    int port_ = 0;
    std::thread th_;
    Seen seen_;
};

class CtrlcSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sandbox_ = std::make_unique<testsupport::Sandbox>();
        ::setenv("ZARVO_INI", sandbox_->root_file().c_str(), 1);
    }
    static void TearDownTestSuite() {
        ::unsetenv("ZARVO_INI");
        sandbox_.reset();
    }
    std::string file(const std::string& name) const { return sandbox_->path("rw/tmp/" + name); }
    static std::unique_ptr<testsupport::Sandbox> sandbox_;
};
std::unique_ptr<testsupport::Sandbox> CtrlcSession::sandbox_;

}  // namespace

TEST_F(CtrlcSession, StreamsGoToTheirFilesAndTheExitCodeIsReturned) {
    ScriptedDaemon d([](const Seen& s) { return Reply{"got:" + s.input, "warn\n", 3}; });
    write_file(file("in1"), "input line\n");
    write_file(file("out1"), "old\n");
    write_file(file("err1"), "old\n");
    std::string out = file("out1"), err = file("err1");
    int rc = ctrlc_lib_call(std::to_string(d.port()), "127.0.0.1", "root", "echo \"a b\" \"x y\"", file("in1"),
                            out.c_str(), err.c_str(), 5);
    EXPECT_EQ(rc, 3);
    EXPECT_EQ(read_file(out), "old\ngot:input line\n");
    EXPECT_EQ(read_file(err), "old\nwarn\n");
    EXPECT_EQ(d.seen().req.command, "echo\"a b\"x y");
    EXPECT_EQ(d.seen().req.user, "root");
    EXPECT_GT(d.seen().req.second_port, 0);
}

TEST_F(CtrlcSession, OutputFileAloneTakesBothStreams) {
    ScriptedDaemon d([](const Seen&) { return Reply{"OUT", "ERR", 0}; });
    std::string out = file("out2");
    int rc = ctrlc_lib_call(std::to_string(d.port()), "localhost", "root", "x", "/dev/null", out.c_str(), nullptr, 0);
    EXPECT_EQ(rc, 0);
    std::string got = read_file(out);
    EXPECT_EQ(got.size(), 6u);
    EXPECT_NE(got.find("OUT"), std::string::npos);
    EXPECT_NE(got.find("ERR"), std::string::npos);
}

TEST_F(CtrlcSession, SingleConnectionCarriesEverything) {
    ScriptedDaemon d([](const Seen& s) { return Reply{"o:" + s.input, "e", 42}; });
    write_file(file("in3"), "abc");
    std::string out = file("out3"), err = file("err3");
    int rc = ctrlc_lib_call(std::to_string(d.port()) + ":-s", "127.0.0.1", "root", "cat", file("in3"), out.c_str(),
                            err.c_str(), 0);
    EXPECT_EQ(rc, 42);
    EXPECT_EQ(d.seen().req.second_port, 0);
    EXPECT_EQ(read_file(out), "o:abce");
    EXPECT_EQ(read_file(err), "");
}

TEST_F(CtrlcSession, LargeInputArrivesWholeBeforeTheMarker) {
    std::string big;
    for (int i = 0; i < 300000; ++i) big += static_cast<char>('a' + i % 23);
    big += std::string("END OF STDI\0", 12);  // a marker look-alike is data
    write_file(file("in4"), big);
    ScriptedDaemon d([](const Seen& s) { return Reply{std::to_string(s.input.size()), "", 0}; });
    std::string out = file("out4"), err = file("err4");
    int rc = ctrlc_lib_call(std::to_string(d.port()), "127.0.0.1", "root", "wc", file("in4"), out.c_str(),
                            err.c_str(), 0);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_file(out), std::to_string(big.size()));
    EXPECT_EQ(d.seen().input, big);
}

TEST_F(CtrlcSession, NoUrgentByteMeans255) {
    ScriptedDaemon d([](const Seen&) { return Reply{"partial", "", -1}; });
    std::string out = file("out5"), err = file("err5");
    int rc = ctrlc_lib_call(std::to_string(d.port()), "127.0.0.1", "root", "x", "/dev/null", out.c_str(),
                            err.c_str(), 0);
    EXPECT_EQ(rc, 255);
    EXPECT_EQ(read_file(out), "partial");
}

TEST_F(CtrlcSession, ConnectionFailureIsWrittenToTheErrorFile) {
    int port;
    {
        ScriptedDaemon d([](const Seen&) { return Reply{}; });
        port = d.port();
        // Wake the daemon so it ends; its port is closed afterwards.
        std::string o = file("wake");
        ctrlc_lib_call(std::to_string(port), "127.0.0.1", "root", "x", "/dev/null", o.c_str(), nullptr, 0);
    }
    std::string expected = std::string("ERROR: ") +
                           syserrtxt(ECONNREFUSED, kErrSocket, "connect() call failed for host: [%s].", "127.0.0.1");
    std::string out = file("out6"), err = file("err6");
    EXPECT_EQ(ctrlc_lib_call(std::to_string(port), "127.0.0.1", "root", "x", "", out.c_str(), err.c_str(), 0), 253);
    EXPECT_EQ(read_file(err), expected);
    EXPECT_FALSE(testsupport::exists(out) && !read_file(out).empty());
    // With only an output file the text goes there.
    std::string out7 = file("out7");
    EXPECT_EQ(ctrlc_lib_call(std::to_string(port), "127.0.0.1", "root", "x", "", out7.c_str(), nullptr, 0), 253);
    EXPECT_EQ(read_file(out7), expected);
}

TEST_F(CtrlcSession, MissingInputFileIsResult1) {
    ScriptedDaemon d([](const Seen&) { return Reply{"never", "", 0}; });
    std::string out = file("out8"), err = file("err8");
    EXPECT_EQ(ctrlc_lib_call(std::to_string(d.port()), "127.0.0.1", "root", "x", file("no_such_input"), out.c_str(),
                             err.c_str(), 0),
              1);
    EXPECT_FALSE(testsupport::exists(out));
}

TEST(CtrlcPort, SettingWithOptions) {
    str_log log;
    CtrlcPortSetting p = ctrlc_parse_port("11301", log);
    EXPECT_EQ(p.port, 11301);
    EXPECT_FALSE(p.single);
    EXPECT_EQ(p.range_start, 0);
    p = ctrlc_parse_port("11301:-s", log);
    EXPECT_TRUE(p.single);
    p = ctrlc_parse_port("12000:-o 5000-5002", log);
    EXPECT_EQ(p.port, 12000);
    EXPECT_EQ(p.range_start, 5000);
    EXPECT_EQ(p.range_end, 5002);
    p = ctrlc_parse_port("11301:-o 5000", log);
    EXPECT_EQ(p.range_start, 5000);
    EXPECT_EQ(p.range_end, 5000);
    EXPECT_FALSE(p.single);
}

TEST(CtrlcTransfer, SilentPeerEndsAfterTheIdlePasses) {
    int s1[2], s2[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s1), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s2), 0);
    posix::UniqueFd a1(s1[0]), b1(s1[1]), a2(s2[0]), b2(s2[1]);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    fd_stdout = out;
    fd_stderr = err;
    posix::write_all(b1.get(), "first");
    int sleeps = 0;
    set_sleeper([&](long) { ++sleeps; });
    ctrlc_set_idle_pass_limit(2);
    str_log log;
    auto t0 = std::chrono::steady_clock::now();
    STDOUT_STDERR_transfer(a1.get(), a2.get(), log, 1);
    auto s = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
    ctrlc_set_idle_pass_limit(0);
    set_sleeper({});
    EXPECT_EQ(sleeps, 2);
    EXPECT_LE(s, 4);
    std::rewind(out);
    char buf[16] = {};
    EXPECT_EQ(std::fread(buf, 1, sizeof buf, out), 5u);
    EXPECT_STREQ(buf, "first");
    std::fclose(out);
    std::fclose(err);
    fd_stdout = fd_stderr = nullptr;
}

TEST(CtrlcTransfer, ClosedPeersEndTheCopyWithoutWaiting) {
    int s1[2], s2[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s1), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s2), 0);
    posix::UniqueFd a1(s1[0]), a2(s2[0]);
    posix::write_all(s1[1], "out-data");
    posix::write_all(s2[1], "err-data");
    ::close(s1[1]);
    ::close(s2[1]);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    fd_stdout = out;
    fd_stderr = err;
    str_log log;
    STDOUT_STDERR_transfer(a1.get(), a2.get(), log, 0);
    auto content = [](FILE* f) {
        std::rewind(f);
        char buf[64] = {};
        size_t n = std::fread(buf, 1, sizeof buf, f);
        return std::string(buf, n);
    };
    EXPECT_EQ(content(out), "out-data");
    EXPECT_EQ(content(err), "err-data");
    std::fclose(out);
    std::fclose(err);
    fd_stdout = fd_stderr = nullptr;
}
