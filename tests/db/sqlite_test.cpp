// The database suite over the embedded SQLite database of a fresh
// installation, and the installation's database files.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "suite.hpp"

std::unique_ptr<testsupport::Sandbox> make_install() {
    return std::make_unique<testsupport::Sandbox>();
}

namespace {

struct Mode {
    unsigned perm = 0;
    gid_t gid = 0;
    bool operator==(const Mode&) const = default;
};
Mode mode_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {st.st_mode & 07777u, st.st_gid};
}

}  // namespace

// The database and damisql's configuration (which may hold a connection
// password) are private whatever the umask or the modes an installation had;
// the refresh writes the configured PostgreSQL port; the tool's trace is
// private too.
TEST(DbInstall, DatabaseFilesArePrivate) {
    testsupport::Sandbox sb;
    const std::string files[] = {sb.path("etc/openrda.ini"), sb.path("rw/db/zarvo_db.sqlite")};
    const gid_t own = ::getgid();
    // Root can hand the files to any group; others only to their own.
    const group* gr = ::getuid() == 0 ? ::getgrnam("daemon") : ::getgrgid(own);
    ASSERT_NE(nullptr, gr);
    const std::string group = gr->gr_name;
    const gid_t gid = gr->gr_gid;

    auto refresh = [&](const std::map<std::string, std::string>& env) {
        testsupport::RunOptions opt;
        opt.env = env;
        auto r = testsupport::run(
            {"/bin/bash", "-c", "umask 000; exec /bin/bash \"$0\" \"$@\"",
             testsupport::source_dir() + "/scripts/sandbox", sb.dir(), testsupport::bin_dir()},
            opt);
        ASSERT_EQ(0, r.rc) << r.err;
    };
    for (const auto& f : files) EXPECT_EQ((Mode{0600, own}), mode_of(f)) << f;
    for (const auto& f : files) ASSERT_EQ(0, ::chmod(f.c_str(), 0666));
    refresh({{"SM_DB_PORT", "6543"}});
    for (const auto& f : files) EXPECT_EQ((Mode{0600, own}), mode_of(f)) << f;
    EXPECT_NE(std::string::npos, testsupport::read_file(sb.path("etc/sm.ini")).find("\ngv_port_db=6543\n"));
    refresh({{"SM_DB_GROUP", group}});
    for (const auto& f : files) EXPECT_EQ((Mode{0640, gid}), mode_of(f)) << f;

    testsupport::RunOptions opt;
    opt.env["OPENRDA_INI"] = files[0];
    auto r = testsupport::run({"/bin/bash", "-c", "umask 000; exec \"$0\" \"$@\"", sb.path("ro/db/damisql"),
                               "-d", "zarvo_db", "-q", "select count(*) from clients", "-xall:ff"},
                              opt);
    EXPECT_EQ(0, r.rc) << r.out;
    EXPECT_EQ(0600u, mode_of(sb.path("rw/lgc/damisql.lgc")).perm);
}
