// Listings as the backup server's browser reads them: exact lines, exit code
// 0, no result lines; the listing clients get the password but never show it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <regex>

#include "support/run.hpp"
#include "util/crypt.hpp"

using namespace testsupport;

namespace {

const std::string kAgent = bin_dir() + "/sm_client";

std::string stamp(time_t t) {
    struct tm tmv {};
    char buf[32];
    localtime_r(&t, &tmv);
    return std::string(buf, std::strftime(buf, sizeof buf, "%Y.%m.%d %H:%M:%S", &tmv));
}

// The line of path as shown (name) with its kind letters.
std::string line(const std::string& path, const char* kind, std::string name = "") {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return "\"" + (name.empty() ? path : name) + "\" " + kind + " " + stamp(st.st_ctime) + " " +
           stamp(st.st_mtime) + " " + std::to_string(st.st_size) + " - ,\n";
}

class Dir : public ::testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sm_dir_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        d = tmpl;
        chmod(d.c_str(), 0755);
    }
    void TearDown() override { run({"/bin/rm", "-rf", d}); }
    std::string d;
};

TEST_F(Dir, ListsEveryKindDirectoriesFirstByBytes) {
    mkdir((d + "/z").c_str(), 0755);
    for (const char* f : {"b", "a", "c d", "x\\y", "\xe4\xff"}) write_file(d + "/" + f, f);
    ASSERT_EQ(symlink("z", (d + "/zl").c_str()), 0);
    ASSERT_EQ(mkfifo((d + "/p").c_str(), 0644), 0);
    const std::string want = line(d + "/z", "d_") + line(d + "/a", "f_") + line(d + "/b", "f_") +
                             line(d + "/c d", "f_") + line(d + "/p", "fp") +
                             line(d + "/x\\y", "f_", d + "/x/y") + line(d + "/zl", "fl") +
                             line(d + "/\xe4\xff", "f_");
    Sandbox sb;
    RunOptions no_config;  // the shortcut reads no configuration
    no_config.env["ZARVO_INI"] = "/nonexistent.ini";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"dirx", d}, {"-i", "7", "-f", "d", d}, {"-r", "-i", "7", "-f", "dir", d}}) {
        RunResult r = args[0] == "dirx" ? run({kAgent, "dirx", d}, no_config) : sb.sm(args);
        EXPECT_EQ(r.out + r.err + std::to_string(r.rc), want + "0") << args[0];
    }
    EXPECT_FALSE(exists(sb.store_file("gv_client_sts_7")));
}

TEST_F(Dir, UnreadableDirectoryAndEntriesBeyondReach) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to list as another user";
    mkdir((d + "/locked").c_str(), 0700);
    mkdir((d + "/blind").c_str(), 0744);  // names readable, entries not examinable
    write_file(d + "/blind/f", "x");
    auto as_nobody = [](const std::string& dir) {
        return run(
            {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", kAgent, "dir", dir});
    };
    RunResult r = as_nobody(d + "/locked");
    EXPECT_EQ(r.out + r.err + std::to_string(r.rc),
              "ERROR: opendir( " + d + "/locked ) returned errno (13): Permission denied\n0");
    r = as_nobody(d + "/blind");
    EXPECT_EQ(r.out + r.err + std::to_string(r.rc), "0");
}

// In a private node: a tmpfs mounted twice over a directory entry, under a
// source that reads like an NFS export, and installed applications.
TEST_F(Dir, NetworkMountsAndInstalledApplications) {
    mkdir((d + "/nfs 1").c_str(), 0755);
    write_file(d + "/f", "x");
    const std::string setup =
        "m=\"$D/nfs 1\"; mount -t tmpfs nfsserver:/export \"$m\"; mount -t tmpfs nfsserver:/export \"$m\"\n"
        "rm -f /etc/SLOX-release /etc/init.d/openexchange /etc/init.d/postgresql\n"
        "mkdir -p /etc/init.d && touch /etc/oratab /etc/init.d/mysql\n"
        "mount -t tmpfs none /opt && mkdir -p /opt/scalix/global && touch /opt/scalix/global/config\n";
    RunOptions o;
    o.env["D"] = d;
    RunResult r = run(
        {source_dir() + "/tests/support/nsrun", "-e", d + "/etc", "-s", setup, "--", kAgent, "dir", d + "/"},
        o);
    if (r.rc == 77) GTEST_SKIP() << r.err;
    EXPECT_EQ(r.rc, 0) << r.err;
    const std::string apps = "\"Scalix\" db 0 0 0 - ,\n\"ORACLE\" fb 0 0 0 - ,\n\"MySQL\" fb 0 0 0 - ,\n";
    const std::regex mount("\"" + d +
                           "/nfs 1\" dm [0-9. :]{19} [0-9. :]{19} [0-9]+ - ,nfsserver:/export,tmpfs,rw.*\n");
    EXPECT_EQ(std::regex_replace(r.out, mount, "MOUNT\n"),
              apps + line(d + "/etc", "d_") + "MOUNT\n" + line(d + "/f", "f_"));
}

TEST(DirClients, ScalixAndNetWarePathsGoToTheirListingClients) {
    Sandbox sb;
    const std::string log = sb.path("rw/standins.log"), hostile = "/Scalix/a b'$(touch x)`touch x`";
    RunOptions here;
    here.cwd = sb.dir();
    RunResult r = sb.sm({"dir", hostile}, here);
    EXPECT_EQ(r.out, "\"" + hostile + "/INBOX\" d_ 0 0 0 - ,\n");
    EXPECT_EQ(read_file(log), "zbc_scx -D " + hostile + "\n");
    EXPECT_FALSE(exists(sb.path("x")));

    EXPECT_EQ(sb.sm({"-f", "d", "/NetWare/VOL 1"}).err,
              "ERROR: cannot list /NetWare/VOL 1: no NetWare node configured ([NetWare] node)\n");

    // The client's stored password reaches zbc_smdr re-encrypted under the listing phrase.
    std::string stored;
    ASSERT_EQ(0, zbc_encrypt_password(stored, "n3tw'Re!", crypt_builtin_phrase()));
    ASSERT_EQ(run({"/usr/bin/sqlite3", sb.path("rw/db/zarvo_db.sqlite"),
                   "insert into oper_systems values ('NetWare', 'NETWARE'); insert into clients (client_id, "
                   "name, os, password, user_name) values (5, 'nw1', 'NetWare', '" +
                       stored + "', 'adm')"})
                  .rc,
              0);
    sb.set_config("[NetWare]", "node", "nw1");
    ASSERT_EQ(run({"/bin/cp", std::string(SM_TEST_TOOL_DIR) + "/zbc_decrypt", sb.path("ro/bin/")}).rc, 0);
    sb.set_var("gv_client_trace", "d");
    write_file(log, "");
    r = sb.sm({"-i", "9", "-f", "d", "/NetWare/VOL 1"});
    EXPECT_EQ(r.out, "\"/NetWare/VOL 1/SYS\" d_ 0 0 0 - ,\n");
    const std::regex call(
        "zbc_smdr -D -v 4 -N nw1:::adm:\\{[0-9a-f]+\\}:0 /NetWare/VOL 1\n"
        "zbc_smdr password: n3tw'Re!\n");
    EXPECT_TRUE(std::regex_match(read_file(log), call)) << read_file(log);

    // A client that cannot start is reported without the password.
    unlink(sb.path("ro/bin/zbc_smdr").c_str());
    r = sb.sm({"-i", "9", "-f", "d", "/NetWare/VOL 1"});
    EXPECT_TRUE(sb.prot_has("E008", "zbc_smdr")) << sb.protocol();
    const std::string trace = read_file(sb.path("rw/lgc/sm_client_.lgc"));
    EXPECT_NE(trace.find("--- build netware password"), std::string::npos) << trace;
    const std::regex secret("\\{[0-9a-f]{16}|n3tw");
    for (const std::string& text : {sb.protocol(), r.err, r.out, trace})
        EXPECT_FALSE(std::regex_search(text, secret)) << text;
}

}  // namespace
