// The database suite over the embedded SQLite database of a fresh
// installation, and the installation's database files.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "suite.hpp"
#include "util/strings.hpp"

std::unique_ptr<testsupport::Sandbox> make_install() {
    return std::make_unique<testsupport::Sandbox>();
}

// The database and damisql's configuration (which may hold a connection
// password) are private whatever the umask or the modes an installation had;
// the refresh writes the configured PostgreSQL port; the tool's trace is
// private too.
TEST(DbInstall, DatabaseFilesArePrivate) {
    testsupport::Sandbox sb;
    const std::string files[] = {sb.path("etc/openrda.ini"), sb.path("rw/db/zarvo_db.sqlite")};
    // Root can hand the files to any group; others only to their own.
    const group* gr = ::getuid() == 0 ? ::getgrnam("daemon") : ::getgrgid(::getgid());
    ASSERT_NE(nullptr, gr);
    auto mode = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? sformat("%o %u", st.st_mode & 07777u, st.st_gid) : "none";
    };
    // Runs argv under umask 000.
    auto run0 = [&](std::vector<std::string> argv, const std::map<std::string, std::string>& env) {
        testsupport::RunOptions opt;
        opt.env = env;
        argv.insert(argv.begin(), {"/bin/bash", "-c", "umask 000; exec \"$0\" \"$@\""});
        return testsupport::run(argv, opt);
    };
    const std::vector<std::string> sandbox{"/bin/bash", testsupport::source_dir() + "/scripts/sandbox",
                                           sb.dir(), testsupport::bin_dir()};
    const std::string own = sformat("600 %u", ::getgid());
    for (const auto& f : files) EXPECT_EQ(own, mode(f)) << f;
    for (const auto& f : files) ASSERT_EQ(0, ::chmod(f.c_str(), 0666));
    ASSERT_EQ(0, run0(sandbox, {{"SM_DB_PORT", "6543"}}).rc);
    for (const auto& f : files) EXPECT_EQ(own, mode(f)) << f;
    EXPECT_NE(std::string::npos, testsupport::read_file(sb.path("etc/sm.ini")).find("\ngv_port_db=6543\n"));
    ASSERT_EQ(0, run0(sandbox, {{"SM_DB_GROUP", gr->gr_name}}).rc);
    for (const auto& f : files) EXPECT_EQ(sformat("640 %u", gr->gr_gid), mode(f)) << f;

    auto r =
        run0({sb.path("ro/db/damisql"), "-d", "zarvo_db", "-q", "select count(*) from clients", "-xall:ff"},
             {{"OPENRDA_INI", files[0]}});
    EXPECT_EQ(0, r.rc) << r.out;
    EXPECT_EQ(own, mode(sb.path("rw/lgc/damisql.lgc")));
}
