// The launcher on both roads: posix_spawn, and fork/exec (forced as root by an id switch).
#include "exec/child.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "support/run.hpp"

using exec::Child;
using exec::SpawnOptions;
using exec::Stdio;

namespace {

struct Road {
    const char* name;
    bool fork;
};
const Road kRoads[] = {{"spawn", false}, {"fork", true}};

SpawnOptions on(const Road& road, SpawnOptions opt = {}) {
    if (road.fork) opt.user = exec::User{::getuid(), ::getgid(), "", {::getgid()}};
    return opt;
}

std::string read_all(posix::UniqueFd& fd) {
    std::string s;
    posix::read_all(fd.get(), s);
    return s;
}

// Runs argv with stdout on a pipe; returns what it printed ("" when it did not start).
std::string output_of(const std::vector<std::string>& argv, SpawnOptions opt) {
    opt.out = Stdio::pipe();
    Child c = Child::spawn(argv, opt);
    if (!c.started()) return "";
    std::string s = read_all(c.out());
    int st;
    EXPECT_TRUE(c.wait(st));
    return s;
}

// Gone, or a zombie waiting for a parent that is not us.
bool alive(pid_t pid) {
    std::string stat = testsupport::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] != 'Z';
}

bool gone_soon(pid_t pid) {
    for (int i = 0; i < 200 && alive(pid); ++i) ::usleep(10000);
    return !alive(pid);
}

}  // namespace

TEST(Child, StartFailuresCarryTheRealErrno) {
    testsupport::Sandbox sb;
    const std::string plain = sb.path("plain"), dir = sb.path("d");
    testsupport::write_file(plain, "#!/bin/sh\n");
    ::mkdir(dir.c_str(), 0755);
    testsupport::write_file(dir + "/plain", "");
    struct Case {
        std::vector<std::string> argv;
        std::string path, cwd;
        int err;
    } cases[] = {
        {{"/no/such/program"}, "", "", ENOENT},
        {{plain}, "", "", EACCES},
        {{"no_such_program_xyz"}, "/bin:/usr/bin", "", ENOENT},
        {{"plain"}, "/nonexistent:" + dir, "", EACCES},  // found, but not executable
        {{"true"}, "/bin:/usr/bin", "/no/such/dir", ENOENT},
    };
    for (const Road& road : kRoads)
        for (const Case& c : cases) {
            SpawnOptions opt = on(road);
            if (!c.path.empty()) opt.env = std::vector<std::string>{"PATH=" + c.path};
            opt.cwd = c.cwd;
            Child child = Child::spawn(c.argv, opt);
            EXPECT_FALSE(child.started()) << road.name << " " << c.argv[0];
            EXPECT_FALSE(child.create_failed());
            EXPECT_EQ(child.error(), c.err) << road.name << " " << c.argv[0] << " " << c.cwd;
        }
}

TEST(Child, SignalsEnvironmentAndDirectoryAreTheChildsOwn) {
    // Our mask and ignored signals must not leak into the program.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &block, &old);
    struct sigaction ign {
    }, was{};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGUSR2, &ign, &was);
    for (const Road& road : kRoads) {
        EXPECT_EQ(output_of({"/bin/grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"}, on(road)),
                  "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n")
            << road.name;
        SpawnOptions opt = on(road);
        opt.env = std::vector<std::string>{"ONLY=this", "PATH=/usr/bin:/bin"};
        EXPECT_EQ(output_of({"env"}, opt), "ONLY=this\nPATH=/usr/bin:/bin\n") << road.name;
        opt = on(road);
        opt.cwd = "/proc";
        EXPECT_EQ(output_of({"/bin/pwd"}, opt), "/proc\n") << road.name;
    }
    ::sigaction(SIGUSR2, &was, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

TEST(Child, UserSwitchSetsIdsAndGroups) {
    if (::geteuid() != 0) GTEST_SKIP() << "switching users needs root";
    struct passwd* pw = ::getpwnam("nobody");
    if (!pw) GTEST_SKIP() << "no user nobody";
    SpawnOptions opt;
    opt.user = exec::User{pw->pw_uid, pw->pw_gid, "", {pw->pw_gid, 4321}};
    const std::string ids = std::to_string(pw->pw_uid) + " " + std::to_string(pw->pw_gid);
    EXPECT_EQ(output_of({"/bin/sh", "-c", "echo $(id -u) $(id -g) $(id -G)"}, opt),
              ids + " " + std::to_string(pw->pw_gid) + " 4321\n");
    opt.user = exec::User{pw->pw_uid, pw->pw_gid, "nobody", {}};  // its own groups only
    EXPECT_EQ(output_of({"/bin/sh", "-c", "echo $(id -u) $(id -g) $(id -G)"}, opt),
              ids + " " + std::to_string(pw->pw_gid) + "\n");
}

TEST(Child, DestructorEndsTheWholeGroupEvenAfterTheFirstProcess) {
    struct Case {
        bool session, group, wait_first, grandchild_survives;
    } cases[] = {
        {false, true, false, false},
        {true, false, false, false},
        {false, true, true, false},   // the shell already reaped: its group still goes
        {false, false, false, true},  // no group of its own: only the child is ours
    };
    for (const Case& k : cases) {
        SpawnOptions opt;
        opt.new_session = k.session;
        opt.new_group = k.group;
        opt.out = Stdio::pipe();
        pid_t grandchild;
        {
            Child c = Child::shell(k.wait_first ? "sleep 30 >/dev/null & echo $!"
                                                : "sleep 30 >/dev/null & echo $!; exec sleep 30",
                                   opt);
            ASSERT_TRUE(c.started());
            std::string line;
            char ch;
            while (::read(c.out().get(), &ch, 1) == 1 && ch != '\n') line.push_back(ch);
            grandchild = std::stoi(line);
            int st;
            if (k.wait_first) {
                ASSERT_TRUE(c.wait(st));
            }
            EXPECT_EQ(::getpgid(grandchild) == c.pid(), k.session || k.group);
        }
        EXPECT_EQ(!gone_soon(grandchild), k.grandchild_survives) << k.session << k.group << k.wait_first;
        ::kill(grandchild, SIGKILL);
    }
}

TEST(Child, WaitWithDeadline) {
    Child c = Child::spawn({"/bin/sleep", "10"});
    int st = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.wait_for(100, st), 0);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
    ASSERT_EQ(c.kill(SIGTERM), 0);
    EXPECT_EQ(c.wait_for(5000, st), 1);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM);
    EXPECT_EQ(c.wait_for(0, st), -1);  // nothing left to wait for
}

TEST(Child, ParentDeathSignalEndsTheChildOfAKilledParent) {
    posix::Pipe p;
    ASSERT_TRUE(posix::make_pipe(p));
    // The parent starts the child and then waits to be killed.
    Child parent = Child::call([&] {
        SpawnOptions opt;
        opt.parent_death_signal = SIGKILL;
        Child c = Child::spawn({"/bin/sleep", "30"}, opt);
        const pid_t pid = c.pid();
        posix::write_all(p.wr.get(), std::string(reinterpret_cast<const char*>(&pid), sizeof pid));
        for (;;) ::pause();
        return 0;
    });
    ASSERT_TRUE(parent.started());
    p.wr.reset();
    pid_t child = 0;
    ASSERT_EQ(posix::read_exact(p.rd.get(), &child, sizeof child, posix::Deadline::after_ms(10000)),
              static_cast<ssize_t>(sizeof child));
    ASSERT_GT(child, 0);
    EXPECT_TRUE(alive(child));
    ASSERT_EQ(parent.kill(SIGKILL), 0);
    int st;
    ASSERT_TRUE(parent.wait(st));
    EXPECT_TRUE(gone_soon(child));
    if (alive(child)) ::kill(child, SIGKILL);
}
