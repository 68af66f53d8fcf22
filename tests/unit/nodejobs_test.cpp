#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "device/kill.hpp"
#include "exec/child.hpp"
#include "frontend/filecopy.hpp"
#include "frontend/globals.hpp"
#include "installation_env.hpp"
#include "support/nsself.hpp"
#include "util/timeutil.hpp"

extern char** environ;

namespace {

// True once pid traps or ignores SIGINT: the stand-in is ready for it.
bool int_handled(pid_t pid) {
    for (int i = 0; i < 500; ++i, ::usleep(10000)) {
        const std::string st = testsupport::read_file("/proc/" + std::to_string(pid) + "/status");
        unsigned long long mask = 0;
        for (const char* k : {"SigIgn:", "SigCgt:"})
            if (size_t p = st.find(k); p != std::string::npos)
                mask |= std::stoull(st.substr(p + 7), nullptr, 16);
        if (mask & (1ull << (SIGINT - 1))) return true;
    }
    return false;
}

int ended_by(exec::Child& c) {
    int st = 0;
    if (c.wait_for(2000, st) != 1) return -1;
    return WIFSIGNALED(st) ? WTERMSIG(st) : WEXITSTATUS(st) + 1000;
}

}  // namespace

// In a PID namespace of its own: only the test's processes can be hit.
TEST(NodeJobs, EndingAJobHitsOnlyItsSaveset) {
    SM_RUN_IN_PRIVATE_NODE({"-p"});
    InstallationEnv env;
    const std::string bin = env.sb.path("ro/bin");
    testsupport::write_file(bin + "/sm_job", testsupport::read_file(bin + "/zbc"));
    ::chmod((bin + "/sm_job").c_str(), 0755);
    std::vector<long> naps;
    set_sleeper([&](long us) {
        naps.push_back(us);
        ::usleep(50000);
    });
    // Relative program names: the sandbox path itself holds "sm_".
    auto start = [&](std::vector<std::string> argv, bool ignore_int = false) {
        exec::SpawnOptions o;
        o.cwd = bin;
        o.env.emplace();
        for (char** e = environ; *e; ++e) o.env->push_back(*e);
        if (ignore_int) o.env->push_back("ZBC_IGNORE_INT=1");
        exec::Child c = exec::Child::spawn(argv, o);
        EXPECT_TRUE(c.started() && (argv[0] == "/bin/bash" || int_handled(c.pid()))) << argv[0];
        return c;
    };
    str_log log;
    std::string msg;
    EXPECT_EQ(i_KILL_ZBC("SAVE1", msg, log), 2);
    EXPECT_EQ(msg, "There are no zbc processes");

    exec::Child save10 = start({"./zbc", "-s", "SAVE10"});
    exec::Child media = start({"/bin/bash", "-c", "exec -a 'sm_main SAVE1' sleep 300"});
    exec::Child soft = start({"./zbc", "-s", "SAVE1"});
    EXPECT_EQ(i_KILL_ZBC(".", msg, log), 2);  // a keyword, not a pattern
    EXPECT_EQ(i_KILL_ZBC("SAVE1", msg, log), 1);
    EXPECT_EQ(msg, "the zbc processes were killed in the soft way (kill -2)");
    // Ended by the interrupt: through its trap (exit 130), or by the signal
    // itself when it lands while the shell is not yet waiting.
    const int soft_end = ended_by(soft);
    EXPECT_TRUE(soft_end == 1000 + 130 || soft_end == SIGINT) << soft_end;
    EXPECT_EQ(naps, std::vector<long>{4000000});

    exec::Child stubborn = start({"./zbc", "-s", "SAVE1"}, true);
    exec::Child job = start({"./sm_job", "-s", "SAVE1"});
    naps.clear();
    EXPECT_EQ(i_KILL_ZBC("SAVE1", msg, log), 1);
    EXPECT_EQ(msg, "the zbc processes were killed in the hard way (kill -9)");
    EXPECT_EQ(naps, std::vector<long>(kKillRounds, kKillRoundSeconds * 1000000L));
    EXPECT_EQ(ended_by(stubborn), SIGKILL);
    EXPECT_EQ(ended_by(job), SIGKILL);
    int st;
    EXPECT_EQ(save10.wait_for(0, st), 0);
    EXPECT_EQ(media.wait_for(0, st), 0);
    set_sleeper({});
}
