// sm_ctrlc against a real ctrld on loopback, and ctrld against hostile
// callers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "ctrld_process.hpp"
#include "support/run.hpp"

using ctrltest::CtrldProcess;
using ctrltest::eventually;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::Sandbox;

namespace {

int connect_to(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// Everything the daemon sends until it closes (or ms pass).
std::string read_until_close(int s, int ms = 5000) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        struct pollfd p {s, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) <= 0) break;
        char buf[4096];
        ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// A request as the client sends it: second port, user, command, each ended by NUL.
std::string request(const std::string& port, const std::string& user, const std::string& cmd) {
    return port + '\0' + user + '\0' + cmd + '\0';
}

void send_raw(int s, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = ::send(s, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

// The daemon still works and no session process is left behind.
void expect_healthy(const CtrldProcess& d) {
    RunResult r = d.client({"-l", "root", "127.0.0.1", "echo", "still", "here"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "still here\n");
    EXPECT_TRUE(eventually([&] { return d.sessions().empty(); })) << "sessions left: " << d.sessions().size();
}

// Three free consecutive ports; the first two are then held.
struct PortRange {
    int base = 0;
    int held[3] = {-1, -1, -1};
    ~PortRange() {
        for (int h : held)
            if (h >= 0) ::close(h);
    }
    static int occupy(int port) {
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
    bool find() {
        std::mt19937 rng(static_cast<unsigned>(::getpid() * 7919));
        for (int attempt = 0; attempt < 200; ++attempt) {
            int p = 20000 + static_cast<int>(rng() % 30000);
            int a = occupy(p), b = a >= 0 ? occupy(p + 1) : -1, c = b >= 0 ? occupy(p + 2) : -1;
            if (c >= 0) {
                ::close(c);
                held[0] = a;
                held[1] = b;
                base = p;
                return true;
            }
            for (int h : {a, b})
                if (h >= 0) ::close(h);
        }
        return false;
    }
};

}  // namespace

TEST(CtrlE2E, OutputErrorAndExitCodes) {
    Sandbox sb;
    CtrldProcess d(sb);
    RunResult r = d.client({"-l", "root", "127.0.0.1", "sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(r.rc, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    r = d.client({"-l", "root", "127.0.0.1", "true"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    r = d.client({"-l", "root", "127.0.0.1", "sh", "-c", "exit 255"});
    EXPECT_EQ(r.rc, 255);
    // Not startable: 128 plus the system's reason (no such file).
    r = d.client({"-l", "root", "127.0.0.1", "no_such_command_here"});
    EXPECT_EQ(r.rc, 128 + ENOENT);
    std::string plain = sb.path("rw/tmp/not_executable");
    testsupport::write_file(plain, "echo never\n");
    r = d.client({"-l", "root", "127.0.0.1", plain});
    EXPECT_EQ(r.rc, 128 + EACCES);
    // The same through the path that changes ids first.
    r = d.client({"-l", "nobody", "127.0.0.1", "no_such_command_here"});
    EXPECT_EQ(r.rc, 128 + ENOENT);
    r = d.client({"-l", "nobody", "127.0.0.1", "sh", "-c", "echo $HOME $USER; exit 3"});
    EXPECT_EQ(r.rc, 3);
    EXPECT_EQ(r.out, "/nonexistent nobody\n");
    // A command killed by a signal: 128 plus the signal.
    r = d.client({"-l", "root", "127.0.0.1", "sh", "-c", "kill -9 $$"});
    EXPECT_EQ(r.rc, 128 + 9);
    std::string log = d.log();
    EXPECT_NE(log.find("accepted caller=127.0.0.1:"), std::string::npos);
    EXPECT_NE(log.find("user=root command=sh -c echo out; echo err >&2; exit 3"), std::string::npos);
}

TEST(CtrlE2E, StandardInputFromTheProcessAndFromAFile) {
    Sandbox sb;
    CtrldProcess d(sb);
    std::string data;
    std::mt19937 rng(42);
    for (int i = 0; i < 400000; ++i) data.push_back(static_cast<char>(rng() & 0xff));
    data += std::string("END OF STDI\0END OF STD", 22);  // look-alikes are data
    RunOptions opt;
    opt.stdin_data = data;
    RunResult r = d.client({"-l", "root", "127.0.0.1", "cat"}, opt);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(r.out == data) << "sizes " << r.out.size() << " vs " << data.size();

    std::string in = sb.path("rw/tmp/input.txt");
    testsupport::write_file(in, "from a file\n");
    std::string cmd = testsupport::bin_dir() + "/sm_ctrlc -p " + std::to_string(d.port()) +
                      " -l root 127.0.0.1 tr a-z A-Z < " + in;
    r = sb.exec({"/bin/sh", "-c", cmd});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "FROM A FILE\n");
    // No input at all: the command sees an immediate end.
    r = d.client({"-l", "root", "127.0.0.1", "wc", "-c"});
    EXPECT_EQ(r.out, "0\n");
}

TEST(CtrlE2E, SingleConnectionCarriesErrorOnOutput) {
    Sandbox sb;
    CtrldProcess d(sb);
    RunResult r = d.client({"-s", "-l", "root", "127.0.0.1", "sh", "-c", "echo out; echo err >&2; exit 4"});
    EXPECT_EQ(r.rc, 4);
    EXPECT_EQ(r.out, "out\nerr\n");
    EXPECT_EQ(r.err, "");
    EXPECT_NE(d.log().find("(single connection)"), std::string::npos);
}

TEST(CtrlE2E, FixedSecondPortRange) {
    Sandbox sb;
    CtrldProcess d(sb);
    PortRange pr;
    ASSERT_TRUE(pr.find());
    std::string range = std::to_string(pr.base) + "-" + std::to_string(pr.base + 2);
    RunResult r = d.client({"-o", range, "-l", "root", "127.0.0.1", "sh", "-c", "echo o; echo e >&2"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "o\n");
    EXPECT_EQ(r.err, "e\n");
    EXPECT_NE(d.log().find("second_port=" + std::to_string(pr.base + 2)), std::string::npos) << d.log();
    // All three taken: no second connection, everything on the first.
    pr.held[2] = PortRange::occupy(pr.base + 2);
    ASSERT_GE(pr.held[2], 0);
    r = d.client({"-o", range, "-l", "root", "127.0.0.1", "sh", "-c", "echo o; echo e >&2; exit 5"});
    EXPECT_EQ(r.rc, 5);
    EXPECT_EQ(r.out, "o\ne\n");
    EXPECT_NE(d.log().find("(single connection)"), std::string::npos);
    // A single port: "-o N".
    ::close(pr.held[1]);
    pr.held[1] = -1;
    r = d.client({"-o", std::to_string(pr.base + 1), "-l", "root", "127.0.0.1", "true"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(d.log().find("second_port=" + std::to_string(pr.base + 1)), std::string::npos);
}

TEST(CtrlE2E, WireQuotingReachesTheCommandAsWords) {
    Sandbox sb;
    CtrldProcess d(sb);
    // One argument: split like a command line.
    RunResult r = d.client({"-l", "root", "127.0.0.1", "printf [%s] \"a b\" 'c d'  x\\ y z\"q r\"s"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "[a b][c d][][x\\ y][q r]");
    // Several arguments: the words as given, empty ones included.
    r = d.client({"-l", "root", "127.0.0.1", "printf", "[%s]", "a  b", "", "'q'"});
    EXPECT_EQ(r.out, "[a  b][]['q']");
    // No shell between: metacharacters are plain text.
    r = d.client({"-l", "root", "127.0.0.1", "echo", "$HOME;", "`id`", "|", "x"});
    EXPECT_EQ(r.out, "$HOME; `id` | x\n");
}

TEST(CtrlE2E, IdleCommandIsEndedByTheTimeout) {
    Sandbox sb;
    CtrldProcess d(sb, {{"idle_timeout", "1"}});
    auto t0 = std::chrono::steady_clock::now();
    RunResult r = d.client({"-t", "2", "-l", "root", "127.0.0.1", "sh", "-c", "echo begun; sleep 9873"});
    auto s = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.rc, 128 + 9);
    EXPECT_EQ(r.out, "begun\n");
    EXPECT_LT(s, 10);
    EXPECT_NE(d.log().find("idle timeout"), std::string::npos);
    EXPECT_TRUE(eventually([] { return ctrltest::processes_with("sleep 9873") == 0; }));
}

TEST(CtrlE2E, ConcurrentSessions) {
    Sandbox sb;
    CtrldProcess d(sb, {{"max_sessions", "4"}});
    RunResult slow;
    std::thread t([&] { slow = d.client({"-l", "root", "127.0.0.1", "sleep", "2"}); });
    ASSERT_TRUE(eventually([&] { return !d.sessions().empty(); }));
    auto t0 = std::chrono::steady_clock::now();
    RunResult fast = d.client({"-l", "root", "127.0.0.1", "echo", "fast"});
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    t.join();
    EXPECT_EQ(fast.out, "fast\n");
    EXPECT_LT(ms, 1500);
    EXPECT_EQ(slow.rc, 0);
}

TEST(CtrlE2E, UsersAndCallersOutsideTheAllowListsAreRefused) {
    Sandbox sb;
    {
        CtrldProcess d(sb, {{"allow_users", "root nobody no_such_user_zz"}});
        RunResult r = d.client({"-l", "nobody", "127.0.0.1", "id", "-un"});
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.out, "nobody\n");
        r = d.client({"-l", "daemon", "127.0.0.1", "id"});
        EXPECT_EQ(r.rc, 141);
        EXPECT_EQ(r.err, "ERROR: CTRLD reply: not allowed\n");
        EXPECT_EQ(r.out, "");
        r = d.client({"-l", "no_such_user_zz", "127.0.0.1", "id"});
        EXPECT_EQ(r.rc, 131);
        EXPECT_EQ(r.err, "ERROR: CTRLD reply: no such user\n");
        std::string log = d.log();
        EXPECT_NE(log.find("refused caller=127.0.0.1:"), std::string::npos);
        EXPECT_NE(log.find("user=daemon command=id reason=not allowed"), std::string::npos);
        EXPECT_NE(log.find("user=no_such_user_zz command=id reason=no such user"), std::string::npos);
        expect_healthy(d);
    }
    {
        CtrldProcess d(sb, {{"allow_hosts", "127.0.0.2/32 10.0.0.0/8"}});
        RunResult r = d.client({"-l", "root", "127.0.0.1", "echo", "x"});
        EXPECT_EQ(r.rc, 141);
        EXPECT_EQ(r.err, "ERROR: CTRLD reply: not allowed\n");
    }
}

TEST(CtrlE2E, DaemonSurvivesHostileRequests) {
    Sandbox sb;
    CtrldProcess d(sb, {{"request_timeout", "2"}, {"max_command", "1000"}});
    // Truncated request, then the caller leaves.
    int s = connect_to(d.port());
    send_raw(s, std::string("\0ro", 3));
    ::close(s);
    expect_healthy(d);
    // Oversized user field: refused with a reason.
    s = connect_to(d.port());
    send_raw(s, std::string("\0", 1) + std::string(100000, 'u'));
    std::string got = read_until_close(s);
    ::close(s);
    ASSERT_FALSE(got.empty());
    EXPECT_NE(got[0], '\0');
    EXPECT_EQ(got.substr(1, got.find('\n') - 1), "bad request: user field too long");
    expect_healthy(d);
    // Oversized command.
    s = connect_to(d.port());
    send_raw(s, std::string("\0root\0", 6) + std::string(5000, 'c'));
    got = read_until_close(s);
    ::close(s);
    EXPECT_NE(got.find("command field too long"), std::string::npos);
    // Binary garbage without a NUL, and garbage in the port field.
    std::string garbage;
    std::mt19937 rng(7);
    for (int i = 0; i < 1 << 20; ++i) garbage.push_back(static_cast<char>(1 + rng() % 255));
    s = connect_to(d.port());
    send_raw(s, garbage);
    got = read_until_close(s);
    ::close(s);
    EXPECT_NE(got.find("bad request"), std::string::npos);
    s = connect_to(d.port());
    send_raw(s, request("12x", "root", "true"));
    got = read_until_close(s);
    ::close(s);
    EXPECT_NE(got.find("malformed port field"), std::string::npos);
    // A caller that never finishes its request.
    s = connect_to(d.port());
    send_raw(s, std::string("\0root", 5));
    got = read_until_close(s, 6000);
    ::close(s);
    EXPECT_NE(got.find("request timeout"), std::string::npos);
    expect_healthy(d);
    EXPECT_NE(d.log().find("reason=truncated request"), std::string::npos);
}

TEST(CtrlE2E, VanishingCallerGetsItsCommandKilled) {
    Sandbox sb;
    CtrldProcess d(sb);
    // Gone while the command waits.
    int s = connect_to(d.port());
    send_raw(s, request("", "root", "sleep\"9871"));
    char answer = 1;
    ASSERT_EQ(::recv(s, &answer, 1, 0), 1);
    EXPECT_EQ(answer, 0);
    ASSERT_TRUE(eventually([] { return ctrltest::processes_with("sleep 9871") == 1; }));
    ::close(s);
    EXPECT_TRUE(eventually([] { return ctrltest::processes_with("sleep 9871") == 0; }));
    expect_healthy(d);
    // Gone in the middle of its input, with the command reading it.
    s = connect_to(d.port());
    send_raw(s, request("", "root", "sh\"-c\"cat >/dev/null; sleep 9872"));
    ASSERT_EQ(::recv(s, &answer, 1, 0), 1);
    send_raw(s, std::string(200000, 'x'));
    ASSERT_TRUE(eventually([] { return ctrltest::processes_with("sleep 9872") == 1; }));
    ::close(s);
    EXPECT_TRUE(eventually([] { return ctrltest::processes_with("sleep 9872") == 0; }));
    expect_healthy(d);
    EXPECT_NE(d.log().find("caller vanished"), std::string::npos);
}

TEST(CtrlE2E, InstallationRunsDaemonAndClient) {
    Sandbox sb;
    std::string bin = sb.path("ro/bin/");
    ASSERT_TRUE(testsupport::exists(bin + "ctrld"));
    ASSERT_TRUE(testsupport::exists(bin + "sm_ctrlc"));
    std::string cfg = testsupport::read_file(sb.path("etc/ctrld.ini"));
    EXPECT_NE(cfg.find("listen=127.0.0.1"), std::string::npos);
    EXPECT_NE(testsupport::read_file(sb.root_file()).find("CTRLD_INI="), std::string::npos);
    // The installation's own configuration, on a port of the system's choice.
    CtrldProcess d(sb, {}, bin + "ctrld", {"-f", "-p", "0"});
    RunResult r = sb.exec({bin + "sm_ctrlc", "-p", std::to_string(d.port()), "-l", "root", "127.0.0.1", "echo", "hi"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "hi\n");
    // Commands find the installation's programs and root file.
    r = sb.exec({bin + "sm_ctrlc", "-p", std::to_string(d.port()), "-l", "root", "127.0.0.1", "sh", "-c",
                 "command -v sm_ctrlc; echo $ZARVO_INI"});
    EXPECT_EQ(r.out, bin + "sm_ctrlc\n" + sb.root_file() + "\n");
    EXPECT_NE(testsupport::read_file(sb.path("rw/lgc/ctrld.log")).find("user=root command=echo hi"),
              std::string::npos);
}

TEST(CtrlE2E, UnreachableDaemonIs253) {
    Sandbox sb;
    int port;
    {
        CtrldProcess d(sb);
        port = d.port();
    }
    RunResult r = sb.exec({testsupport::bin_dir() + "/sm_ctrlc", "-p", std::to_string(port), "-t", "2", "-l", "root",
                           "127.0.0.1", "true"});
    EXPECT_EQ(r.rc, 253);
    EXPECT_NE(r.err.find("ERROR: STDLIB error: 111"), std::string::npos) << r.err;
}

namespace {

// A one-shot peer on loopback that reads a request and runs script.
class FakeDaemon {
public:
    explicit FakeDaemon(std::function<void(int, const std::string& port)> script) {
        ls_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(ls_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(ls_, 4);
        socklen_t l = sizeof a;
        ::getsockname(ls_, reinterpret_cast<sockaddr*>(&a), &l);
        port_ = ntohs(a.sin_port);
        th_ = std::thread([this, script] {
            struct pollfd p {ls_, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) return;
            int c = ::accept4(ls_, nullptr, nullptr, SOCK_CLOEXEC);
            std::string req;
            char ch;
            int nuls = 0;
            while (nuls < 3 && ::recv(c, &ch, 1, 0) == 1) {
                req.push_back(ch);
                if (ch == '\0') ++nuls;
            }
            script(c, req.substr(0, req.find('\0')));
            ::close(c);
        });
    }
    ~FakeDaemon() {
        th_.join();
        ::close(ls_);
    }
    int port() const { return port_; }

private:
    int ls_ = -1, port_ = 0;
    std::thread th_;
};

RunResult ctrlc_to(const Sandbox& sb, int port, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{testsupport::bin_dir() + "/sm_ctrlc", "-p", std::to_string(port)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    for (const char* a : {"-l", "root", "127.0.0.1", "true"}) argv.push_back(a);
    RunOptions opt;
    opt.timeout_ms = 15000;
    return sb.exec(argv, opt);
}

}  // namespace

TEST(CtrlE2E, ClientAgainstPeersThatAreNotOurDaemon) {
    Sandbox sb;
    {
        FakeDaemon peer([](int, const std::string&) {});  // closes without a byte
        RunResult r = ctrlc_to(sb, peer.port());
        EXPECT_EQ(r.rc, 253);
        EXPECT_EQ(r.err, "ERROR: ERROR: Server listening on remote port is not a CTRLD Server\n");
    }
    {
        FakeDaemon peer([](int c, const std::string&) {
            send_raw(c, "\x01no such user\n");
            unsigned char code = 7;
            ::send(c, &code, 1, MSG_OOB);
            read_until_close(c, 3000);
        });
        RunResult r = ctrlc_to(sb, peer.port());
        EXPECT_EQ(r.rc, 7);
        EXPECT_EQ(r.err, "ERROR: CTRLD reply: no such user\n");
    }
    {
        // Output, then a close without the urgent byte: no exit code.
        FakeDaemon peer([](int c, const std::string&) {
            send_raw(c, std::string(1, '\0') + "partial output");
            ::shutdown(c, SHUT_WR);
            read_until_close(c, 3000);
        });
        RunResult r = ctrlc_to(sb, peer.port(), {"-s"});
        EXPECT_EQ(r.rc, 255);
        EXPECT_EQ(r.out, "partial output");
    }
    {
        // Accepts but never connects back: the wait for the second connection ends.
        FakeDaemon peer([](int c, const std::string& port) {
            EXPECT_FALSE(port.empty());
            send_raw(c, std::string(1, '\0'));
            read_until_close(c, 5000);
        });
        RunResult r = ctrlc_to(sb, peer.port(), {"-t", "1"});
        EXPECT_EQ(r.rc, 253);
        EXPECT_EQ(r.err, "ERROR: Connection timeout. accept() call failed.\n");
    }
}

TEST(CtrlE2E, SessionLimitMakesCallersWait) {
    Sandbox sb;
    CtrldProcess d(sb, {{"max_sessions", "1"}});
    RunResult slow;
    std::thread t([&] { slow = d.client({"-l", "root", "127.0.0.1", "sleep", "1.5"}); });
    ASSERT_TRUE(eventually([&] { return !d.sessions().empty(); }));
    auto t0 = std::chrono::steady_clock::now();
    RunResult waiting = d.client({"-l", "root", "127.0.0.1", "echo", "later"});
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    t.join();
    EXPECT_EQ(slow.rc, 0);
    EXPECT_EQ(waiting.out, "later\n");
    EXPECT_GE(ms, 700);  // served only after the first session ended
}
