#include "util/posix.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "exec/child.hpp"

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 31 + i / 977);
    return s;
}

std::string temp_dir() {
    char t[] = "/tmp/posix_testXXXXXX";
    return ::mkdtemp(t);
}

std::string file_content(const std::string& path) {
    posix::UniqueFd fd = posix::open_fd(path, O_RDONLY);
    std::string s;
    if (fd) posix::read_all(fd.get(), s);
    return s;
}

// SIGUSR1 without SA_RESTART: every blocking call it hits fails with EINTR.
struct InterruptingSignal {
    struct sigaction old {};
    InterruptingSignal() {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ::sigaction(SIGUSR1, &sa, &old);
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &old, nullptr); }
};

// Interrupts `target` every `every_ms` until stopped.
struct Interrupter {
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread t;
    Interrupter(pthread_t target, int every_ms)
        : t([this, target, every_ms] {
              while (!stop) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(every_ms));
                  ::pthread_kill(target, SIGUSR1);
                  ++sent;
              }
          }) {}
    ~Interrupter() {
        stop = true;
        t.join();
    }
};

}  // namespace

TEST(PosixIo, PartialWritesToATinySocketBufferArriveWhole) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    posix::UniqueFd a(sv[0]), b(sv[1]);
    int tiny = 4096;
    ASSERT_EQ(::setsockopt(a.get(), SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny), 0);
    const std::string data = pattern(3 << 20);
    ASSERT_TRUE(posix::set_nonblocking(a.get(), true));  // every short write and EAGAIN shows
    std::string got(data.size(), '\0');
    std::thread reader([&] {
        EXPECT_EQ(posix::read_exact(b.get(), got.data(), got.size()), static_cast<ssize_t>(got.size()));
    });
    EXPECT_TRUE(posix::send_all(a.get(), data));
    reader.join();
    EXPECT_TRUE(got == data);
    // A peer that reads nothing: the write gives up at its deadline, no sooner.
    const auto t0 = Clock::now();
    EXPECT_FALSE(posix::write_all(a.get(), data, posix::Deadline::after_ms(200)));
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(ms_since(t0), 190);
    // A silent non-blocking source runs into the read deadline.
    char c;
    EXPECT_EQ(posix::read_some(a.get(), &c, 1, posix::Deadline::after_ms(50)), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    // A vanished peer is an error (EPIPE), not a signal that kills us.
    b.reset();
    EXPECT_FALSE(posix::send_all(a.get(), "x"));
    EXPECT_EQ(errno, EPIPE);
}

TEST(PosixIo, SignalsWithoutRestartNeitherFailNorStretchAWait) {
    InterruptingSignal sig;
    posix::Pipe p;
    ASSERT_TRUE(posix::make_pipe(p));
    {
        // A blocking read survives the interruptions and gets the data.
        Interrupter irq(::pthread_self(), 20);
        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            posix::write_all(p.wr.get(), "late");
        });
        char buf[8];
        EXPECT_EQ(posix::read_some(p.rd.get(), buf, sizeof buf), 4);
        writer.join();
        EXPECT_GT(irq.sent.load(), 2);
    }
    struct pollfd pfd {
        p.rd.get(), POLLIN, 0
    };
    static volatile sig_atomic_t stop = 0;
    sigset_t open;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &open);
    for (bool masked : {false, true}) {
        // A poll interrupted every 30 ms ends at its deadline, not later.
        Interrupter irq(::pthread_self(), 30);
        const auto t0 = Clock::now();
        const auto d = posix::Deadline::after_ms(300);
        EXPECT_EQ(masked ? posix::poll_until(&pfd, 1, d, &open, &stop) : posix::poll_until(&pfd, 1, d), 0);
        const long took = ms_since(t0);
        EXPECT_GE(took, 290);
        EXPECT_LT(took, 450);
    }
    // A stop signal held back by the mask before the wait ends it at once.
    struct sigaction sa {
    }, old{};
    sa.sa_handler = [](int) { stop = 1; };
    ::sigaction(SIGUSR2, &sa, &old);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, SIGUSR2);
    ::pthread_sigmask(SIG_BLOCK, &only, nullptr);
    ::pthread_kill(::pthread_self(), SIGUSR2);
    EXPECT_EQ(stop, 0);
    const auto t0 = Clock::now();
    EXPECT_EQ(posix::poll_until(&pfd, 1, posix::Deadline::after_ms(2000), &open, &stop), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_LT(ms_since(t0), 1000);
    ::pthread_sigmask(SIG_SETMASK, &open, nullptr);
    ::sigaction(SIGUSR2, &old, nullptr);
}

TEST(PosixCopy, EverySourceKindIntoAFile) {
    const std::string dir = temp_dir();
    const std::string data = pattern((5 << 20) + 123);
    const std::string src = dir + "/src", dst = dir + "/dst";
    ASSERT_TRUE(posix::write_all(posix::open_fd(src, O_WRONLY | O_CREAT, 0600).get(), data));
    for (int kind : {0, 1, 2}) {  // file, pipe, socket
        SCOPED_TRACE(kind);
        posix::UniqueFd in, feed;
        int sv[2];
        if (kind == 0) {
            in = posix::open_fd(src, O_RDONLY);
        } else {
            ASSERT_EQ(
                kind == 1 ? ::pipe2(sv, O_CLOEXEC) : ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv),
                0);
            in.reset(sv[0]);
            feed.reset(sv[1]);
        }
        std::thread feeder([&] {
            // Non-blocking, so a copy that stops early fails the test instead of hanging it.
            if (feed && posix::set_nonblocking(feed.get(), true))
                posix::write_all(feed.get(), data, posix::Deadline::after_ms(5000));
            feed.reset();
        });
        posix::UniqueFd out = posix::open_fd(dst, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const posix::CopyResult r = posix::copy_fd(in.get(), out.get());
        feeder.join();
        EXPECT_TRUE(r) << posix::errtext(r.err);
        EXPECT_EQ(r.bytes, data.size());
        EXPECT_TRUE(file_content(dst) == data);
    }
    std::filesystem::remove_all(dir);
}

TEST(PosixReplace, AtomicKeepingAttributes) {
    const std::string dir = temp_dir();
    const std::string path = dir + "/" + std::string(240, 'v');  // no room for a derived name
    auto info = [&] {
        struct stat st {};
        ::stat(path.c_str(), &st);
        return st;
    };
    std::string err;
    posix::ReplaceOptions opt;
    opt.new_mode = 0640;
    ASSERT_TRUE(posix::replace_file(path, "one", opt, err)) << err;
    EXPECT_EQ(info().st_mode & 07777, 0640u);
    ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    const ino_t first = info().st_ino;
    ASSERT_TRUE(posix::replace_file(path, "two", opt, err)) << err;
    EXPECT_EQ(info().st_mode & 07777, 0604u);  // the replaced file's mode, not new_mode
    EXPECT_NE(info().st_ino, first);
    EXPECT_EQ(file_content(path), "two");

    // A writer that fails leaves the old content and no temporary file.
    auto failing = [](int fd) {
        posix::write_all(fd, "partial");
        errno = ENOSPC;
        return false;
    };
    EXPECT_FALSE(posix::replace_file(path, failing, opt, err));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_NE(err.find("No space left on device"), std::string::npos);
    EXPECT_EQ(file_content(path), "two");

    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    std::filesystem::remove_all(dir);
}

TEST(PosixOwner, TempNamesCarryTheirOwnerWhoseEndIsRecognised) {
    const posix::ProcOwner me = posix::self_owner();
    ASSERT_NE(me.pidns, 0u) << "no /proc here";
    posix::ProcOwner o;
    std::string_view tag;
    const std::string name = posix::temp_name("r0f"), good = posix::temp_name();
    ASSERT_TRUE(posix::parse_temp_name(name, &o, &tag)) << name;
    EXPECT_TRUE(o == me && tag == "r0f" && name.size() == good.size() + 3) << name;
    for (const std::string& bad :
         {good.substr(0, 38), "x" + good.substr(1), good.substr(0, 5) + "g" + good.substr(6), good + "R",
          good.substr(0, 30) + "x" + good.substr(31)})
        EXPECT_FALSE(posix::parse_temp_name(bad, &o)) << bad;

    // Gone: a pid now used by another process than the owner's. Not gone:
    // the living, and anyone of another or an unknown namespace.
    EXPECT_TRUE(posix::owner_gone({me.pid, me.start + 1, me.pidns}));
    for (const posix::ProcOwner& alive :
         {me, {me.pid, me.start + 1, me.pidns + 1}, {me.pid, me.start + 1, 0}})
        EXPECT_FALSE(posix::owner_gone(alive));
    const pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ASSERT_TRUE(posix::read_owner(child, o));
    EXPECT_FALSE(posix::owner_gone(o));
    EXPECT_TRUE(posix::owner_gone({child, o.start + 1, o.pidns}));
    // Killed but not yet reaped, then reaped.
    ::kill(child, SIGKILL);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_TRUE(posix::owner_gone(o));
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(posix::owner_gone(o));
    EXPECT_FALSE(posix::read_owner(child, o));
}
