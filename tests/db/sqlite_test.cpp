// The database suite over the embedded SQLite database, and the installation's database files.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "suite.hpp"
#include "util/strings.hpp"

std::unique_ptr<testsupport::Sandbox> make_install() {
    return std::make_unique<testsupport::Sandbox>();
}

// The database, damisql's configuration (it may hold a password) and its trace are private whatever the
// modes before or the umask, group-readable only when asked; the refresh writes the configured port.
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
    const std::string own = sformat("600 %u", ::getgid());
    for (const auto& f : files) EXPECT_EQ(own, mode(f)) << f;
    const std::pair<std::map<std::string, std::string>, std::string> refreshes[] = {
        {{{"SM_DB_PORT", "6543"}}, own}, {{{"SM_DB_GROUP", gr->gr_name}}, sformat("640 %u", gr->gr_gid)}};
    for (const auto& [env, want] : refreshes) {
        for (const auto& f : files) ASSERT_EQ(0, ::chmod(f.c_str(), 0666));
        ASSERT_EQ(0, sb.refresh(env).rc);
        for (const auto& f : files) EXPECT_EQ(want, mode(f)) << f;
        const bool port =
            testsupport::read_file(sb.path("etc/sm.ini")).find("\ngv_port_db=6543\n") != std::string::npos;
        EXPECT_EQ(env.count("SM_DB_PORT") == 1, port);
    }
    testsupport::RunOptions opt;
    opt.env["OPENRDA_INI"] = files[0];
    auto r = testsupport::run({"/bin/bash", "-c", "umask 000; exec \"$0\" \"$@\"", sb.path("ro/db/damisql"),
                               "-d", "zarvo_db", "-q", "select count(*) from clients", "-xall:ff"},
                              opt);
    EXPECT_EQ(0, r.rc) << r.out;
    EXPECT_EQ(own, mode(sb.path("rw/lgc/damisql.lgc")));
}
