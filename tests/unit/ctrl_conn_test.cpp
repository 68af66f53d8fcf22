// The control connection against scripted peers on loopback, the error
// record and the system error texts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "remote/ctrl_conn.hpp"
#include "remote/ctrl_wire.hpp"
#include "remote/syserrtxt.hpp"
#include "util/posix.hpp"

namespace {

int listen_on(int port, int backlog = 8) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(s, backlog) < 0) {
        ::close(s);
        return -1;
    }
    return s;
}

int port_of(int s) {
    struct sockaddr_in a {};
    socklen_t l = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
    return ntohs(a.sin_port);
}

// Occupies a port the way the client binds its listener (any address).
int occupy(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// Reads one request the way the daemon does.
bool read_request(int fd, CtrlRequest& req) {
    CtrlRequestReader r;
    char buf[4096];
    while (r.feed({}) == CtrlRequestReader::NeedMore) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        r.feed(std::string_view(buf, static_cast<size_t>(n)));
    }
    req = r.request();
    return r.feed({}) == CtrlRequestReader::Done;
}

// A peer that accepts one caller and runs script on the connection.
class FakePeer {
public:
    explicit FakePeer(std::function<void(int)> script, int backlog = 8) : ls_(listen_on(0, backlog)) {
        port_ = port_of(ls_.get());
        th_ = std::thread([this, script] {
            struct pollfd p {ls_.get(), POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) return;
            posix::UniqueFd c(::accept4(ls_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (c) script(c.get());
        });
    }
    ~FakePeer() { th_.join(); }
    int port() const { return port_; }

private:
    posix::UniqueFd ls_;
    int port_ = 0;
    std::thread th_;
};

int connect_back(int c1, int port) {
    struct sockaddr_in a {};
    socklen_t l = sizeof a;
    ::getpeername(c1, reinterpret_cast<sockaddr*>(&a), &l);
    a.sin_port = htons(static_cast<uint16_t>(port));
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        ::close(s);
        return -1;
    }
    return s;
}

struct Opened {
    int rc;
    int sd1, sd2;
    std::string error;
};

Opened open_session(int port, int start, int end, bool second, int timeout, const std::string& user = "root",
                    const std::string& cmd = "true") {
    sm_ctrl_geterror();
    std::string host = "127.0.0.1";
    Opened o{};
    o.rc = sm_ctrl(host, port, start, end, user, cmd, &o.sd1, second ? &o.sd2 : nullptr, timeout);
    o.error = sm_ctrl_geterror();
    return o;
}

}  // namespace

TEST(Syserrtxt, ClassesAndDescriptions) {
    EXPECT_STREQ(syserrtxt(1, kErrHsocket, "lookup of %s", "h"), "HSOCKET error: 1 - Host is unknown. lookup of h");
    EXPECT_EQ(std::string(syserrtxt(ETIMEDOUT, kErrSocket, "connect() call failed for host: [%s].", "x")),
              "STDLIB error: " + std::to_string(ETIMEDOUT) + " - " + posix::errtext(ETIMEDOUT) +
                  ". connect() call failed for host: [x].");
    EXPECT_STREQ(syserrtxt(0, kErrStdlib, "only %d", 5), "only 5");
    EXPECT_STREQ(syserrtxt(7, 0, "no class"), " no class");
    EXPECT_STREQ(syserrtxt(0x1f, kErrWin32, "w"), "Unknown error code: [1f]. w");
    EXPECT_STREQ(syserrtxt(99, kErrHsocket, nullptr), "Unknown error code: [63].");
    EXPECT_STREQ(syserrtxt(255, kErrExchange, "e"), "Unknown error code: [ff]. e");
    EXPECT_STREQ(syserrtxt(ENOENT, kErrStdlib, nullptr), "STDLIB error: 2 - No such file or directory.");
    // The result is one static text of at most 511 characters.
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

TEST(CtrlConn, PeerClosingWithoutAByteIsNotADaemon) {
    FakePeer peer([](int c) {
        CtrlRequest r;
        read_request(c, r);
    });
    Opened o = open_session(peer.port(), 0, 0, true, 0);
    EXPECT_EQ(o.rc, 253);
    EXPECT_EQ(o.error, "ERROR: Server listening on remote port is not a CTRLD Server");
}

TEST(CtrlConn, RefusalCarriesReasonAndUrgentCode) {
    FakePeer peer([](int c) {
        CtrlRequest r;
        read_request(c, r);
        std::string reply = "\x01no such user\nrest is ignored";
        ::send(c, reply.data(), reply.size(), 0);
        unsigned char code = 7;
        ::send(c, &code, 1, MSG_OOB);
    });
    Opened o = open_session(peer.port(), 0, 0, false, 0, "nobody_here");
    EXPECT_EQ(o.rc, 7);
    EXPECT_EQ(o.error, "CTRLD reply: no such user");
}

TEST(CtrlConn, RefusalWithoutUrgentByteIs253) {
    FakePeer peer([](int c) {
        CtrlRequest r;
        read_request(c, r);
        ::send(c, "\x02" "busy\n", 6, 0);
    });
    Opened o = open_session(peer.port(), 0, 0, false, 0);
    EXPECT_EQ(o.rc, 253);
    EXPECT_EQ(o.error, "CTRLD reply: busy");
}

TEST(CtrlConn, RequestFieldsAndTheSecondConnection) {
    CtrlRequest seen;
    FakePeer peer([&](int c) {
        ASSERT_TRUE(read_request(c, seen));
        ::send(c, "", 1, 0);
        int s2 = connect_back(c, seen.second_port);
        ::send(s2, "E", 1, 0);
        ::close(s2);
    });
    Opened o = open_session(peer.port(), 0, 0, true, 2, "root", "echo\"hi");
    ASSERT_EQ(o.rc, 0) << o.error;
    ASSERT_GT(o.sd2, 0);
    char b = 0;
    EXPECT_EQ(::recv(o.sd2, &b, 1, 0), 1);
    EXPECT_EQ(b, 'E');
    EXPECT_GT(seen.second_port, 0);
    EXPECT_EQ(seen.user, "root");
    EXPECT_EQ(seen.command, "echo\"hi");
    ::close(o.sd1);
    ::close(o.sd2);
}

TEST(CtrlConn, SingleConnectionSendsOneNul) {
    std::string raw;
    FakePeer peer([&](int c) {
        char buf[256];
        while (raw.size() < 8) {
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            raw.append(buf, static_cast<size_t>(n));
        }
        ::send(c, "", 1, 0);
    });
    Opened o = open_session(peer.port(), 0, 0, false, 0, "root", "ls");
    ASSERT_EQ(o.rc, 0) << o.error;
    EXPECT_EQ(raw, std::string("\0root\0ls\0", 9));
    ::close(o.sd1);
}

TEST(CtrlConn, SecondPortRangeSkipsPortsInUse) {
    // Three free ports in a row, the first two then taken.
    std::mt19937 rng(static_cast<unsigned>(::getpid()));
    int base = 0, h1 = -1, h2 = -1;
    for (int attempt = 0; attempt < 200 && base == 0; ++attempt) {
        int p = 20000 + static_cast<int>(rng() % 30000);
        h1 = occupy(p);
        h2 = h1 >= 0 ? occupy(p + 1) : -1;
        int h3 = h2 >= 0 ? occupy(p + 2) : -1;
        if (h3 >= 0) {
            ::close(h3);
            base = p;
        } else {
            if (h1 >= 0) ::close(h1);
            if (h2 >= 0) ::close(h2);
        }
    }
    ASSERT_NE(base, 0);
    posix::UniqueFd o1(h1), o2(h2);
    {
        CtrlRequest seen;
        FakePeer peer([&](int c) {
            read_request(c, seen);
            ::send(c, "", 1, 0);
            ::close(connect_back(c, seen.second_port));
        });
        Opened o = open_session(peer.port(), base, base + 2, true, 2);
        ASSERT_EQ(o.rc, 0) << o.error;
        EXPECT_EQ(seen.second_port, base + 2);
        ::close(o.sd1);
        ::close(o.sd2);
    }
    {
        posix::UniqueFd o3(occupy(base + 2));
        ASSERT_TRUE(o3);
        CtrlRequest seen;
        seen.second_port = -1;
        FakePeer peer([&](int c) {
            read_request(c, seen);
            ::send(c, "", 1, 0);
        });
        Opened o = open_session(peer.port(), base, base + 2, true, 2);
        ASSERT_EQ(o.rc, 0) << o.error;
        EXPECT_EQ(seen.second_port, 0);  // a single NUL: no second connection
        EXPECT_EQ(o.sd2, -1);
        ::close(o.sd1);
    }
}

TEST(CtrlConn, MissingSecondConnectionEndsIn253) {
    FakePeer peer([](int c) {
        CtrlRequest r;
        read_request(c, r);
        ::send(c, "", 1, 0);
        char b;
        ::recv(c, &b, 1, 0);  // until the caller gives up
    });
    auto t0 = std::chrono::steady_clock::now();
    Opened o = open_session(peer.port(), 0, 0, true, 1);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(o.rc, 253);
    EXPECT_EQ(o.error, "Connection timeout. accept() call failed.");
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 5000);
}

TEST(CtrlConn, ConnectToAFullBacklogTimesOut) {
    posix::UniqueFd ls(listen_on(0, 0));
    int port = port_of(ls.get());
    // Fill the accept queue; further SYNs are dropped and connects hang.
    std::vector<posix::UniqueFd> fillers;
    for (int i = 0; i < 4; ++i) {
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.emplace_back(s);
    }
    ::usleep(100000);
    auto t0 = std::chrono::steady_clock::now();
    Opened o = open_session(port, 0, 0, false, 1);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(o.rc, 253);
    EXPECT_EQ(o.error, std::string(syserrtxt(ETIMEDOUT, kErrSocket, "connect() call failed for host: [%s].",
                                             "127.0.0.1")));
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 4000);
}

TEST(CtrlConn, RefusedConnectionIsRecorded) {
    posix::UniqueFd ls(listen_on(0));
    int port = port_of(ls.get());
    ls.reset();  // nobody listens there now
    for (int timeout : {0, 2}) {
        Opened o = open_session(port, 0, 0, true, timeout);
        EXPECT_EQ(o.rc, 253);
        EXPECT_EQ(o.error, std::string(syserrtxt(ECONNREFUSED, kErrSocket,
                                                 "connect() call failed for host: [%s].", "127.0.0.1")));
    }
}
