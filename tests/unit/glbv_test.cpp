// The store's file handling: who owns a rewritten variable, long names, and
// stores where the writer may not create files.
#include "config/glbv.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/run.hpp"

using testsupport::read_file;

namespace {

constexpr uid_t kNobody = 65534;

class StoreFiles : public ::testing::Test {
   protected:
    void SetUp() override {
        setenv("ZARVO_INI", sb.root_file().c_str(), 1);
        ::chmod(sb.dir().c_str(), 0755);  // other users reach the store
    }
    void TearDown() override { unsetenv("ZARVO_INI"); }

    std::string write(const std::string& name, const std::string& value) {
        std::string n = name, v = value;
        return glbv('w', n, v);
    }
    // Writes as user nobody in a child; returns the answer's first character
    // ('?' for a failure) or '!' when the child could not run.
    char write_as_nobody(const std::string& name, const std::string& value) {
        int fds[2];
        if (pipe(fds) != 0) return '!';
        pid_t p = fork();
        if (p == 0) {
            close(fds[0]);
            if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(1);
            char c = write(name, value)[0];
            _exit(::write(fds[1], &c, 1) == 1 ? 0 : 1);
        }
        close(fds[1]);
        char c = '!';
        if (p < 0 || read(fds[0], &c, 1) != 1) c = '!';
        close(fds[0]);
        int st = 0;
        if (p > 0) waitpid(p, &st, 0);
        return c;
    }
    struct stat info(const std::string& name) {
        struct stat st {};
        EXPECT_EQ(lstat(sb.store_file(name).c_str(), &st), 0) << name;
        return st;
    }
    int private_files() {
        auto r =
            testsupport::run({"/bin/sh", "-c", "ls -A " + sb.path("rw/glbv") + " | grep -c '^\\.~' || true"});
        return std::atoi(r.out.c_str());
    }

    testsupport::Sandbox sb;
};

}  // namespace

TEST_F(StoreFiles, RewriteKeepsOwnerAndMode) {
    // Root rewrites another user's variable: it stays that user's, with its mode.
    sb.set_var("gv_theirs", "old");
    ASSERT_EQ(chown(sb.store_file("gv_theirs").c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(sb.store_file("gv_theirs").c_str(), 0640), 0);
    EXPECT_EQ(write("gv_theirs", "new"), "new");
    struct stat st = info("gv_theirs");
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(sb.var("gv_theirs"), "new");

    // A new variable is 0644 whatever the umask.
    mode_t old_mask = umask(077);
    write("gv_fresh", "x");
    umask(old_mask);
    EXPECT_EQ(info("gv_fresh").st_mode & 07777, 0644u);

    // A user who may not give the new file root's ownership rewrites it in
    // place: owner and mode stay, so root's readers keep reading it.
    ASSERT_EQ(chmod(sb.path("rw/glbv").c_str(), 0777), 0);
    sb.set_var("gv_shared", "old");
    ASSERT_EQ(chmod(sb.store_file("gv_shared").c_str(), 0606), 0);
    EXPECT_EQ(write_as_nobody("gv_shared", "by nobody"), 'b');
    st = info("gv_shared");
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0606u);
    EXPECT_EQ(sb.var("gv_shared"), "by nobody");
    // ... and a variable it may not write stays as it is.
    sb.set_var("gv_roots", "keep");
    EXPECT_EQ(write_as_nobody("gv_roots", "x"), '?');
    EXPECT_EQ(sb.var("gv_roots"), "keep");
    EXPECT_EQ(info("gv_roots").st_uid, 0u);
    EXPECT_EQ(private_files(), 0);
}

TEST_F(StoreFiles, StoreWithoutRoomForATemporaryFileIsWrittenInPlace) {
    // The directory is the administrator's; one variable is open to all.
    ASSERT_EQ(chmod(sb.path("rw/glbv").c_str(), 0755), 0);
    sb.set_var("gv_open", "old");
    ASSERT_EQ(chmod(sb.store_file("gv_open").c_str(), 0666), 0);
    EXPECT_EQ(write_as_nobody("gv_open", "new value"), 'n');
    EXPECT_EQ(sb.var("gv_open"), "new value");
    // A variable that does not exist yet cannot be created there.
    EXPECT_EQ(write_as_nobody("gv_new", "x"), '?');
    EXPECT_FALSE(testsupport::exists(sb.store_file("gv_new")));
}

TEST_F(StoreFiles, LongestNamesWork) {
    // "<name>.sgv" fills a file name up to the system's 255 characters.
    for (size_t len : {226u, 240u, 251u}) {
        SCOPED_TRACE(len);
        const std::string name(len, 'n');
        EXPECT_EQ(write(name, "v"), "v");
        std::string n = name, v;
        EXPECT_EQ(glbv('R', n, v), "v");
        EXPECT_FALSE(testsupport::exists(sb.store_file(name)));
    }
    EXPECT_EQ(private_files(), 0);
}
