// sm_ctrlc against a real ctrld and against other peers; ctrld against hostile callers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ctrld_process.hpp"
#include "remote/ctrlc_session.hpp"
#include "remote/syserrtxt.hpp"
#include "support/run.hpp"

using ctrltest::CtrldProcess;
using ctrltest::eventually;
using testsupport::RunResult;
using testsupport::Sandbox;

namespace {

constexpr auto npos = std::string::npos;

sockaddr_in address(const char* ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A socket bound to ip:port (0: any), listening when backlog >= 0; -1 when the port is taken.
int bound(const char* ip, int port, int backlog = -1) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = address(ip, port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
        (backlog >= 0 && ::listen(s, backlog) < 0)) {
        ::close(s);
        return -1;
    }
    return s;
}

int port_of(int s) {
    sockaddr_in a{};
    socklen_t l = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
    return ntohs(a.sin_port);
}

// A loopback port nobody listens on.
int dead_port() {
    int s = bound("127.0.0.1", 0, 0), port = port_of(s);
    ::close(s);
    return port;
}

// A connection to 127.0.0.1:port from the address from.
int connect_to(int port, const char* from = "127.0.0.1") {
    int s = bound(from, 0);
    sockaddr_in a = address("127.0.0.1", port);
    ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return s;
}

// Sockets closed at the end of the scope.
struct Sockets {
    std::vector<int> fds;
    ~Sockets() {
        for (int s : fds)
            if (s >= 0) ::close(s);
    }
};

// Everything the peer sends until it closes (or ms pass).
std::string read_until_close(int s, int ms = 5000) {
    std::string got;
    posix::read_all(s, got, posix::Deadline::after_ms(ms));
    return got;
}

// A request as the client sends it: second port, user, command, each ended by NUL.
std::string request(const std::string& port, const std::string& user, const std::string& cmd) {
    return port + '\0' + user + '\0' + cmd + '\0';
}

template <class F>
long ms_taken(F f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
}

// Whether a process whose command line contains text runs.
bool running(const std::string& text) {
    int rc = testsupport::run({"/usr/bin/pgrep", "-f", text}).rc;
    EXPECT_TRUE(rc == 0 || rc == 1) << "pgrep: " << rc;  // 1: none
    return rc == 0;
}

// The daemon still serves a session, and no session process is left behind.
void expect_healthy(const CtrldProcess& d) {
    RunResult r = d.client({"-l", "root", "127.0.0.1", "echo", "still", "here"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "still here\n");
    EXPECT_TRUE(eventually([&] { return d.sessions().empty(); })) << "sessions left: " << d.sessions();
}

}  // namespace

TEST(CtrlE2E, CommandWordsInputOutputErrorAndExitCodes) {
    Sandbox sb;
    CtrldProcess d(sb);
    struct {
        std::string user;
        std::vector<std::string> command;
        int rc;
        std::string out, err;
    } cases[] = {
        {"root", {"sh", "-c", "echo out; echo err >&2; exit 3"}, 3, "out\n", "err\n"},
        // Not startable: 128 plus the system's reason, also where ids change first.
        {"root", {"no_such_command_here"}, 128 + ENOENT, "", ""},
        {"nobody", {"no_such_command_here"}, 128 + ENOENT, "", ""},
        {"nobody", {"sh", "-c", "echo $HOME $USER; exit 3"}, 3, "/nonexistent nobody\n", ""},
        // Killed by a signal: 128 plus the signal.
        {"root", {"sh", "-c", "kill -9 $$"}, 128 + 9, "", ""},
        // One argument is split like a command line; several are the words as given; no shell.
        {"root", {"printf [%s] \"a b\" 'c d'  x\\ y z\"q r\"s"}, 0, "[a b][c d][][x\\ y][q r]", ""},
        {"root", {"printf", "[%s]", "a  b", "", "'q'"}, 0, "[a  b][]['q']", ""},
        {"root", {"echo", "$HOME;", "`id`", "|", "x"}, 0, "$HOME; `id` | x\n", ""},
        // A word with the daemon's word separator in it would arrive as several.
        {"root",
         {"printf", "[%s]", "a\"b"},
         2,
         "",
         "sm_ctrlc: a command word must not contain '\"': a\"b\n"
         "usage: sm_ctrlc [-p port] [-s] [-o range] [-t timeout] -l user node command...\n"},
        // Nothing the daemon inherited reaches a command (3: the listing's own).
        {"nobody", {"ls", "/proc/self/fd"}, 0, "0\n1\n2\n3\n", ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"-l", c.user, "127.0.0.1"};
        args.insert(args.end(), c.command.begin(), c.command.end());
        RunResult r = d.client(args);
        EXPECT_EQ(r.rc, c.rc) << c.user << " " << c.command.back();
        EXPECT_EQ(r.out, c.out) << c.user << " " << c.command.back();
        EXPECT_EQ(r.err, c.err) << c.user << " " << c.command.back();
    }
    // Standard input byte for byte.
    testsupport::RunOptions opt;
    std::mt19937 rng(42);
    for (int i = 0; i < 400000; ++i) opt.stdin_data.push_back(static_cast<char>(rng() & 0xff));
    opt.stdin_data += std::string("END OF STDI\0END OF STD", 22);  // look-alikes are data
    RunResult r = d.client({"-l", "root", "127.0.0.1", "cat"}, opt);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(r.out == opt.stdin_data) << "sizes " << r.out.size() << " vs " << opt.stdin_data.size();
    // No input at all: the command sees an immediate end.
    EXPECT_EQ(d.client({"-l", "root", "127.0.0.1", "wc", "-c"}).out, "0\n");
}

TEST(CtrlE2E, SingleConnectionAndFixedSecondPortRange) {
    Sandbox sb;
    CtrldProcess d(sb);
    auto run = [&](std::vector<std::string> opts) {
        for (const char* a : {"-l", "root", "127.0.0.1", "sh", "-c", "echo o; echo e >&2; exit 4"})
            opts.push_back(a);
        RunResult r = d.client(opts);
        EXPECT_EQ(r.rc, 4) << r.err;
        return r.out + "|" + r.err;
    };
    // One connection: standard error arrives on standard output.
    EXPECT_EQ(run({"-s"}), "o\ne\n|");
    // Three free ports in a row (bound as the client binds: any address), the first two held.
    Sockets held;
    int base = 0;
    std::mt19937 rng(static_cast<unsigned>(::getpid()));
    for (int attempt = 0; attempt < 200 && base == 0; ++attempt) {
        int p = 20000 + static_cast<int>(rng() % 30000);
        Sockets trial{{bound("0.0.0.0", p), bound("0.0.0.0", p + 1), bound("0.0.0.0", p + 2)}};
        if (trial.fds[0] >= 0 && trial.fds[1] >= 0 && trial.fds[2] >= 0) {
            base = p;
            held.fds = {trial.fds[0], trial.fds[1]};
            trial.fds = {trial.fds[2]};
        }
    }
    ASSERT_NE(base, 0);
    std::string range = std::to_string(base) + "-" + std::to_string(base + 2);
    EXPECT_EQ(run({"-o", range}), "o\n|e\n");
    EXPECT_NE(d.log().find("second_port=" + std::to_string(base + 2)), npos) << d.log();
    // All taken: no second connection, everything on the first.
    held.fds.push_back(bound("0.0.0.0", base + 2));
    ASSERT_GE(held.fds.back(), 0);
    EXPECT_EQ(run({"-o", range}), "o\ne\n|");
}

// The idle timeout ends the command, also a background child left by its first process.
TEST(CtrlE2E, IdleTimeoutEndsEveryProcessOfTheCommand) {
    Sandbox sb;
    CtrldProcess d(sb, {{"idle_timeout", "1"}});
    struct {
        const char* script;
        int rc;
    } cases[] = {{"echo begun; sleep 9873", 128 + 9}, {"sleep 9873 & echo begun", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        RunResult r;
        long ms = ms_taken([&] {
            r = d.client({"-t", "2", "-l", "root", "127.0.0.1", "sh", "-c", c.script});
        });
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.out, "begun\n");
        EXPECT_LT(ms, 6000);
        EXPECT_TRUE(eventually([] { return !running("sleep 9873"); }, 2000));
    }
    EXPECT_NE(d.log().find("idle timeout"), npos);
}

// SIGTERM ends the daemon promptly with every session and every process of their commands.
TEST(CtrlE2E, StopEndsEverySessionAndCommand) {
    Sandbox sb;
    CtrldProcess d(sb);
    std::vector<std::thread> callers;
    for (const char* script : {"sleep 9874", "sleep 9874 & echo begun"})
        callers.emplace_back([&d, script] { d.client({"-l", "root", "127.0.0.1", "sh", "-c", script}); });
    bool both_run = eventually([] {
        return testsupport::run({"/usr/bin/pgrep", "-c", "-f", "^sleep 9874"}).out == "2\n";
    });
    long ms = ms_taken([&] { d.stop(); });
    for (auto& t : callers) t.join();
    EXPECT_TRUE(both_run);
    EXPECT_LT(ms, 2000);
    EXPECT_TRUE(eventually([] { return !running("sleep 9874"); }, 1000));
}

// How long a quick session takes while another one runs.
static long ms_beside_a_running_session(const CtrldProcess& d) {
    RunResult slow, quick;
    std::thread t([&] { slow = d.client({"-l", "root", "127.0.0.1", "sleep", "1.5"}); });
    EXPECT_TRUE(eventually([&] { return !d.sessions().empty(); }));
    long ms = ms_taken([&] { quick = d.client({"-l", "root", "127.0.0.1", "echo", "quick"}); });
    t.join();
    EXPECT_EQ(slow.rc, 0);
    EXPECT_EQ(quick.out, "quick\n");
    return ms;
}

TEST(CtrlE2E, SessionLimit) {
    Sandbox sb;
    EXPECT_LT(ms_beside_a_running_session(CtrldProcess(sb, {{"max_sessions", "4"}})), 1000);
    // At the limit a caller waits for the running session to end.
    EXPECT_GE(ms_beside_a_running_session(CtrldProcess(sb, {{"max_sessions", "1"}})), 700);
}

// Malformed requests, a dead second port and vanishing callers leave no command behind.
TEST(CtrlE2E, DaemonSurvivesHostileAndVanishingCallers) {
    Sandbox sb;
    CtrldProcess d(sb, {{"request_timeout", "2"}, {"max_command", "1000"}});
    struct {
        std::string bytes, reply;  // reply "": the caller leaves at once
    } cases[] = {
        {std::string("\0ro", 3), ""},
        {std::string("\0root\0", 6) + std::string(5000, 'c'), "bad request: command field too long\n"},
        {std::string("\0root", 5), "bad request: request timeout\n"},  // never finished
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.empty() ? "truncated" : c.reply);
        int s = connect_to(d.port());
        posix::send_all(s, c.bytes);
        std::string got = c.reply.empty() ? "" : read_until_close(s, 6000);
        ::close(s);
        if (!c.reply.empty()) {
            ASSERT_FALSE(got.empty());
            EXPECT_NE(got[0], '\0');
            EXPECT_EQ(got.substr(1, c.reply.size()), c.reply);
        }
        expect_healthy(d);
    }

    // A second port nobody listens on: the session ends.
    int s = connect_to(d.port());
    posix::send_all(s, request(std::to_string(dead_port()), "root", "true"));
    read_until_close(s);
    ::close(s);
    expect_healthy(d);

    // Gone mid-input, and after the first process ended leaving a child behind.
    for (std::string cmd : {"sh\"-c\"cat >/dev/null; sleep 9871", "sh\"-c\"sleep 9871 & echo x"}) {
        SCOPED_TRACE(cmd);
        int s = connect_to(d.port());
        posix::send_all(s, request("", "root", cmd));
        char answer = 1;
        ASSERT_EQ(::recv(s, &answer, 1, 0), 1);
        EXPECT_EQ(answer, 0);
        if (cmd.find("cat") != npos) posix::send_all(s, std::string(200000, 'x'));
        ASSERT_TRUE(eventually([] { return running("sleep 9871"); }));
        ::close(s);
        EXPECT_TRUE(eventually([] { return !running("sleep 9871"); }, 2000));
        expect_healthy(d);
    }
}

// Refusals by user and host; idle connections are bounded per address and in total.
TEST(CtrlE2E, RefusalsAndIdleConnectionsDoNotBlockService) {
    Sandbox sb;
    CtrldProcess d(sb, {{"allow_users", "root nobody no_such_user_zz"},
                        {"allow_hosts", "127.0.0.1/32 127.0.0.3/32"},
                        {"max_sessions", "4"},
                        {"max_pending", "2"},
                        {"max_pending_per_host", "1"},
                        {"request_timeout", "10"}});
    struct {
        std::string user;
        int rc;
        std::string reason;
    } refusals[] = {{"daemon", 141, "not allowed"}, {"no_such_user_zz", 131, "no such user"}};
    for (const auto& c : refusals) {
        SCOPED_TRACE(c.user);
        RunResult r = d.client({"-l", c.user, "127.0.0.1", "id"});
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.err, "ERROR: CTRLD reply: " + c.reason + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_NE(d.log().find("user=" + c.user + " command=id reason=" + c.reason), npos);
        expect_healthy(d);
    }
    Sockets idle;
    for (int i = 0; i < 6; ++i) idle.fds.push_back(connect_to(d.port(), "127.0.0.2"));
    for (int i = 0; i < 3; ++i) idle.fds.push_back(connect_to(d.port(), "127.0.0.3"));
    // Refused without a request: a stranger, and a host over its share.
    EXPECT_EQ(read_until_close(idle.fds[0], 2000), "\x01not allowed\n");
    EXPECT_EQ(read_until_close(idle.fds[8], 2000),
              "\x01"
              "busy\n");
    RunResult r;
    long ms = ms_taken([&] { r = d.client({"-l", "root", "127.0.0.1", "echo", "served"}); });
    EXPECT_EQ(r.out, "served\n");
    EXPECT_LT(ms, 2000);
    EXPECT_NE(d.log().find("refused caller=127.0.0.2:"), npos);
}

// The agent's library call: input from a file, the streams appended to files.
TEST(CtrlE2E, LibraryCallWithFiles) {
    Sandbox sb;
    CtrldProcess d(sb);
    ::setenv("ZARVO_INI", sb.root_file().c_str(), 1);
    auto f = [&](const char* name) { return sb.path("rw/tmp/") + name; };
    auto call = [&](int port, const std::string& in, const char* out, const char* err) {
        const char* cmd = "sh -c 'tr a-z A-Z; echo e >&2; exit 3'";
        return ctrlc_lib_call(std::to_string(port), "127.0.0.1", "root", cmd, in,
                              out ? f(out).c_str() : nullptr, err ? f(err).c_str() : nullptr, 5);
    };
    testsupport::write_file(f("in"), "input line\n");
    testsupport::write_file(f("out1"), "old\n");
    testsupport::write_file(f("err1"), "old\n");
    EXPECT_EQ(call(d.port(), f("in"), "out1", "err1"), 3);
    EXPECT_EQ(testsupport::read_file(f("out1")), "old\nINPUT LINE\n");
    EXPECT_EQ(testsupport::read_file(f("err1")), "old\ne\n");
    // An output file alone takes both streams.
    EXPECT_EQ(call(d.port(), f("in"), "out2", nullptr), 3);
    std::string both = testsupport::read_file(f("out2"));
    EXPECT_TRUE(both == "INPUT LINE\ne\n" || both == "e\nINPUT LINE\n") << both;
    // An input file that cannot be opened: result 1, nothing written.
    EXPECT_EQ(call(d.port(), f("no_such_input"), "out3", "err3"), 1);
    EXPECT_FALSE(testsupport::exists(f("out3")));
    // No daemon: the reason goes to the error file, or else the output file.
    const int gone_port = dead_port();
    std::string reason = "ERROR: ";
    reason += syserrtxt(ECONNREFUSED, kErrSocket, "connect() call failed for host: [%s].", "127.0.0.1");
    EXPECT_EQ(call(gone_port, "", "out4", "err4"), 253);
    EXPECT_EQ(testsupport::read_file(f("err4")) + "|" + testsupport::read_file(f("out4")), reason + "|");
    // "-" is our own stream, never a file of that name.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(sb.path("rw/tmp"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(ctrlc_lib_call(std::to_string(gone_port), "127.0.0.1", "root", "true", "", "-", nullptr, 5),
              253);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), reason + "\n");
    EXPECT_FALSE(testsupport::exists(f("-")));
    std::filesystem::current_path(cwd);
    ::unsetenv("ZARVO_INI");
}

TEST(CtrlE2E, InstallationRunsDaemonAndClient) {
    Sandbox sb;
    // The installation's programs and configuration; commands find its programs and root file.
    std::string bin = sb.path("ro/bin/");
    CtrldProcess d(sb, {}, bin, {"-f", "-p", "0"});
    RunResult r = d.client({"-l", "root", "127.0.0.1", "sh", "-c", "command -v sm_ctrlc; echo $ZARVO_INI"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, bin + "sm_ctrlc\n" + sb.root_file() + "\n");
    EXPECT_NE(testsupport::read_file(sb.path("rw/lgc/ctrld.log")).find("user=root command=sh -c"), npos);
}

namespace {

// sm_ctrlc opts... against a one-shot peer that sends reply and the urgent byte (-1: none).
RunResult against_peer(const Sandbox& sb, const std::string& reply, int urgent,
                       std::vector<std::string> opts) {
    int ls = bound("127.0.0.1", 0, 4);
    std::thread peer([&] {
        if (posix::wait_fd(ls, POLLIN, posix::Deadline::after_ms(10000)) <= 0) return;
        int c = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        char ch;
        for (int nuls = 0; nuls < 3 && ::recv(c, &ch, 1, 0) == 1;) nuls += ch == '\0';
        posix::send_all(c, reply);
        unsigned char code = static_cast<unsigned char>(urgent);
        if (urgent >= 0) ::send(c, &code, 1, MSG_OOB);
        ::shutdown(c, SHUT_WR);
        read_until_close(c);
        ::close(c);
    });
    opts.insert(opts.begin(), {testsupport::bin_dir() + "/sm_ctrlc", "-p", std::to_string(port_of(ls))});
    for (const char* a : {"-l", "root", "127.0.0.1", "true"}) opts.push_back(a);
    RunResult r = sb.exec(opts);
    peer.join();
    ::close(ls);
    return r;
}

}  // namespace

TEST(CtrlE2E, ClientAgainstPeersThatAreNotOurDaemon) {
    Sandbox sb;
    const std::string nul(1, '\0');
    struct {
        std::string reply;
        int urgent;
        std::vector<std::string> opts;
        int rc;
        std::string out, err;
    } cases[] = {
        {"", -1, {}, 253, "", "ERROR: ERROR: Server listening on remote port is not a CTRLD Server\n"},
        {"\x01no such user\nrest is ignored", 7, {}, 7, "", "ERROR: CTRLD reply: no such user\n"},
        {"\2busy\n", -1, {}, 253, "", "ERROR: CTRLD reply: busy\n"},
        {nul + "partial output", -1, {"-s"}, 255, "partial output", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        RunResult r = against_peer(sb, c.reply, c.urgent, c.opts);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}
