// The variable store in a temporary installation: values, owners, concurrent and killed processes.
#include "config/glbv.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "exec/child.hpp"
#include "log/lang.hpp"
#include "log/prot.hpp"
#include "support/run.hpp"

using testsupport::read_file;
using testsupport::write_file;

namespace {

constexpr uid_t kNobody = 65534;

class Store : public ::testing::Test {
   protected:
    void SetUp() override {
        setenv("ZARVO_INI", sb.root_file().c_str(), 1);
        ::chmod(sb.dir().c_str(), 0755);  // other users reach the store
        eLang = LANG_EN;
    }
    void TearDown() override { unsetenv("ZARVO_INI"); }

    std::string get(const std::string& name, char fn = 'r') {
        std::string n = name, v;
        return glbv(fn, n, v);
    }
    std::string write(const std::string& name, const std::string& value) {
        std::string n = name, v = value;
        return glbv('w', n, v);
    }
    // Writes as user nobody in a child: the answer's first character ('?'
    // for a failure), or '!' when the child could not run.
    char write_as_nobody(const std::string& name, const std::string& value) {
        exec::SpawnOptions opt;
        opt.user = exec::User{kNobody, kNobody, "", {}};
        exec::Child c = exec::Child::call([&] { return static_cast<int>(write(name, value)[0]); }, opt);
        int st = 0;
        return c.started() && c.wait(st) && WIFEXITED(st) ? static_cast<char>(WEXITSTATUS(st)) : '!';
    }
    struct stat info(const std::string& name) {
        struct stat st {};
        EXPECT_EQ(lstat(sb.store_file(name).c_str(), &st), 0) << name;
        return st;
    }
    // Temporary and claimed files present in the store's private directory.
    std::vector<std::string> private_files() {
        std::vector<std::string> out;
        std::error_code ec;  // no directory: none
        for (const auto& e : std::filesystem::directory_iterator(private_dir, ec))
            out.push_back(e.path().filename());
        return out;
    }

    testsupport::Sandbox sb;
    const std::string private_dir = sb.path("rw/glbv/.~private/");
    const std::vector<std::string> none;
};

// A value that proves it is whole: writer, round, then filler up to a
// length that depends on both, closed by a checksum character.
std::string make_value(int writer, int round) {
    std::string v = "w" + std::to_string(writer) + "r" + std::to_string(round) + ":";
    v.append(static_cast<size_t>(100 + (writer * 37 + round) % 300), static_cast<char>('a' + writer % 26));
    v.push_back(static_cast<char>('A' + v.size() % 26));
    return v;
}

bool is_whole(const std::string& v) {
    int writer = 0, round = 0;
    return std::sscanf(v.c_str(), "w%dr%d:", &writer, &round) == 2 && v == make_value(writer, round);
}

// What the children of one round got done, in memory shared with the test.
struct ChildLog {
    std::atomic<int> bad;         // partial or missing values seen
    std::atomic<int> current[2];  // variable each child is reading, -1 between reads
    std::atomic<int> count;       // values delivered
    char values[2048][32];
};

// Runs child(0) and child(1) at once, kills both after 0-3 ms; the owners
// reap them on the way out.
template <typename F>
void run_and_kill(std::mt19937& rng, F child) {
    exec::Child kids[2];
    for (int c = 0; c < 2; ++c)
        ASSERT_TRUE((kids[c] = exec::Child::call([&child, c] { return child(c), 0; })).started());
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(rng)));
    for (exec::Child& k : kids) k.kill(SIGKILL);
}

}  // namespace

TEST_F(Store, ValuesNamesAndAnswers) {
    std::string name = "a/b\\c", value = "v 1";
    glbv('w', name, value);
    EXPECT_EQ(name, "a_b_c");
    EXPECT_EQ(sb.var("a_b_c"), "v 1");  // no trailing newline
    mode_t old_mask = umask(077);
    write("gv_fresh", "x");
    umask(old_mask);
    EXPECT_EQ(info("gv_fresh").st_mode & 07777, 0644u);  // whatever the umask

    // Read in lines of 510, joined, cut at 511 with '>'.
    const std::string p300(300, 'p');
    for (const auto& [content, want] : std::vector<std::pair<std::string, std::string>>{
             {"abc\ndef\n", "abcdef"},
             {std::string(511, 'y'), std::string(511, 'y')},
             {p300 + "\n" + std::string(300, 'q') + "\n", p300 + std::string(210, 'q') + ">"}}) {
        sb.set_var("gv_v", content);
        EXPECT_EQ(get("gv_v"), want);
    }
    write("empty", "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(get("empty"), "?? GLBV empty not existing");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "glbv() read failed: empty file\n");

    // "<name>.sgv" fills a file name up to the system's 255 characters.
    for (size_t len : {226u, 251u}) {
        EXPECT_EQ(write(std::string(len, 'n'), "v"), "v");
        EXPECT_EQ(get(std::string(len, 'n'), 'R'), "v") << len;
    }
    EXPECT_EQ(private_files(), none);

    sb.set_var("gv_client_sts_17", "0");
    sb.set_var("gv_client_msg_17", "m");
    sb.set_var("gv_keep", "k");
    EXPECT_EQ(get("gv_client_sts_17", 'R'), "0");
    EXPECT_EQ(get("gv_client_sts_17", 'R'), "?? GLBV gv_client_sts_17 not existing");
    std::string pat = "gv_client_*", v;
    EXPECT_EQ(&glbv('d', pat, v), &pat);
    EXPECT_FALSE(testsupport::exists(sb.store_file("gv_client_msg_17")));
    EXPECT_EQ(get("gv_keep"), "k");
    get("gv_keep", 'd');
    EXPECT_FALSE(testsupport::exists(sb.store_file("gv_keep")));

    EXPECT_EQ(get("x", 'q'), "?? invalid service q");
    eLang = LANG_DE;
    EXPECT_EQ(get("x", 'q'), "?? ung\xfcltiger Parameter q");
    eLang = LANG_EN;

    // A directory standing where the variable file belongs: the write fails.
    ASSERT_EQ(mkdir(sb.store_file("blocked").c_str(), 0755), 0);
    testing::internal::CaptureStderr();
    const std::string answer = write("blocked", "x");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer.rfind("?? GLBV blocked cannot be created: ", 0), 0u) << answer;
    EXPECT_EQ(private_files(), none);

    sb.set_config("[Pathes]", "gv_rw_glbv", "");
    EXPECT_EQ(get("gv_x"), "Fatal software error FILE=../cm_hal_unix LINE=249 ( error reading sm_ini)");
}

TEST_F(Store, ResolveGlbvAndPath) {
    sb.set_var("gv_data", "/data");
    auto by_var = [](std::string f) { return std::to_string(resolve_glbv(f)) + " " + f; };
    EXPECT_EQ(by_var("gv_data:/sub/file"), "1 /data/sub/file");
    EXPECT_EQ(by_var("gv_data"), "1 /data");
    EXPECT_EQ(by_var("gv_no:/sub"), "0 gv_no:/sub");
    auto by_key = [](std::string f) { return std::to_string(resolve_path(f)) + " " + f; };
    EXPECT_EQ(by_key("gv_rw_tmp:x.log"), "1 " + sb.path("rw/tmp/x.log"));
    EXPECT_EQ(by_key("no_key:x"), "1 no_key:x");
}

TEST_F(Store, RewriteKeepsOwnerAndMode) {
    ASSERT_EQ(chmod(sb.path("rw/glbv").c_str(), 0777), 0);  // every user may create files
    // Root rewrites another user's variable: it stays that user's, with its mode.
    sb.set_var("gv_theirs", "old");
    ASSERT_EQ(chown(sb.store_file("gv_theirs").c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(sb.store_file("gv_theirs").c_str(), 0640), 0);
    EXPECT_EQ(write("gv_theirs", "new"), "new");
    struct stat st = info("gv_theirs");
    EXPECT_EQ(std::make_tuple(st.st_uid, st.st_gid, st.st_mode & 07777),
              std::make_tuple(kNobody, kNobody, 0640u));

    // A user who may not give the new file root's ownership rewrites it in
    // place: owner and mode stay, so root's readers keep reading it ...
    sb.set_var("gv_shared", "old");
    ASSERT_EQ(chmod(sb.store_file("gv_shared").c_str(), 0606), 0);
    EXPECT_EQ(write_as_nobody("gv_shared", "by nobody"), 'b');
    st = info("gv_shared");
    EXPECT_EQ(std::make_tuple(st.st_uid, st.st_mode & 07777), std::make_tuple(0u, 0606u));
    EXPECT_EQ(sb.var("gv_shared"), "by nobody");
    // ... and a variable it may not write stays as it is.
    sb.set_var("gv_roots", "keep");
    EXPECT_EQ(write_as_nobody("gv_roots", "x"), '?');
    EXPECT_EQ(sb.var("gv_roots"), "keep");
    // A link planted where a variable belongs is replaced; its target stays.
    const std::string target = sb.path("rw/tmp/victim");
    write_file(target, "keep");
    ASSERT_EQ(symlink(target.c_str(), sb.store_file("gv_link").c_str()), 0);
    write("gv_link", "new");
    EXPECT_EQ(read_file(target), "keep");
    EXPECT_TRUE(S_ISREG(info("gv_link").st_mode));
    EXPECT_EQ(sb.var("gv_link"), "new");

    // The store becomes the administrator's: nobody's own variable is
    // written in place, also without the private directory; a new one
    // cannot be made.
    ASSERT_EQ(chmod(sb.path("rw/glbv").c_str(), 0755), 0);
    sb.set_var("gv_open", "old");
    ASSERT_EQ(chown(sb.store_file("gv_open").c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(write_as_nobody("gv_open", "new value"), 'n');
    EXPECT_EQ(sb.var("gv_open"), "new value");
    ASSERT_EQ(rmdir(private_dir.c_str()), 0);
    EXPECT_EQ(write_as_nobody("gv_open", "newer"), 'n');
    EXPECT_EQ(sb.var("gv_open"), "newer");
    EXPECT_EQ(info("gv_open").st_uid, kNobody);
    EXPECT_EQ(write_as_nobody("gv_new", "x"), '?');
    EXPECT_FALSE(testsupport::exists(sb.store_file("gv_new")));
}

TEST_F(Store, ConcurrentAndKilledProcessesStrandNothing) {
    std::mt19937 rng(std::random_device{}());
    auto name = [](const char* prefix, int k) { return prefix + std::to_string(k); };
    auto* log = static_cast<ChildLog*>(
        mmap(nullptr, sizeof(ChildLog), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(log, MAP_FAILED);

    // Two writers at once, killed at random moments: a read sees the old or
    // the new value, never a part, and temporary files are gone after one read.
    constexpr int kVars = 4;
    for (int k = 0; k < kVars; ++k) write(name("gv_kw", k), make_value(0, k));
    log->bad = 0;
    for (int run = 1; run <= 100; ++run) {
        run_and_kill(rng, [&](int c) {
            for (int i = 0; i < 20000; ++i) {
                if (write(name("gv_kw", i % kVars), make_value(2 * run + c, i))[0] == '?') ++log->bad;
                if (!is_whole(get(name("gv_kw", (i + 1) % kVars)))) ++log->bad;
            }
        });
    }
    EXPECT_EQ(log->bad, 0);
    for (int k = 0; k < kVars; ++k) EXPECT_TRUE(is_whole(get(name("gv_kw", k)))) << k;
    EXPECT_EQ(private_files(), none);

    // Two read-and-delete callers at once, killed at random moments: each
    // value is delivered once or can still be read; a claim left by a killed
    // reader is back at the next read of its variable. Only a reader killed
    // between removing the file and handing over the value may lose it: one
    // value of the variable it was reading.
    constexpr int kReadVars = 48;
    std::map<std::string, int> written;  // value -> variable
    std::set<std::string> delivered;
    std::map<int, int> may_lose;  // variable -> readers killed inside its read
    for (int run = 1; run <= 100; ++run) {
        for (int k = 0; k < kReadVars; ++k) {
            if (get(name("gv_kr", k))[0] != '?') continue;
            const std::string v = "r" + std::to_string(run) + "." + std::to_string(k);
            written[v] = k;
            write(name("gv_kr", k), v);
        }
        log->current[0] = log->current[1] = -1;
        log->count = 0;
        run_and_kill(rng, [&](int c) {
            for (int i = 0; i < 4000; ++i) {
                const int k = (i + c * kReadVars / 2) % kReadVars;
                log->current[c] = k;
                const std::string v = get(name("gv_kr", k), 'R');
                if (v[0] != '?') {
                    const int slot = log->count++;
                    if (slot >= 2048) _exit(0);
                    std::snprintf(log->values[slot], sizeof log->values[0], "%s", v.c_str());
                }
                log->current[c] = -1;
            }
        });
        for (int i = 0; i < std::min<int>(log->count, 2048); ++i)
            EXPECT_TRUE(!log->values[i][0] || delivered.insert(log->values[i]).second)
                << "delivered twice: " << log->values[i];
        for (int c = 0; c < 2; ++c)
            if (log->current[c] >= 0) ++may_lose[log->current[c]];
        for (const std::string& f : private_files()) {
            const std::string value = read_file(private_dir + f);
            ASSERT_TRUE(written.count(value)) << f;
            EXPECT_EQ(get(name("gv_kr", written[value])), value);
        }
        std::memset(log->values, 0, sizeof log->values);
    }
    std::set<std::string> readable;
    for (int k = 0; k < kReadVars; ++k) readable.insert(get(name("gv_kr", k)));
    EXPECT_EQ(private_files(), none);
    std::map<int, int> lost;
    for (const auto& [value, k] : written) {
        const size_t copies = delivered.count(value) + readable.count(value);
        EXPECT_LE(copies, 1u) << value;
        if (copies == 0) ++lost[k];
    }
    for (const auto& [k, n] : lost) EXPECT_LE(n, may_lose[k]) << "values lost from variable " << k;
    munmap(log, sizeof(ChildLog));
}
