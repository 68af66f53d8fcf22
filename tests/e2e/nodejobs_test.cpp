#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/nsself.hpp"
#include "support/run.hpp"

using namespace testsupport;

// Real su, real users, the node's own /etc: the allow list decides, and
// nothing runs as root that it did not grant (root alone can make MARK).
TEST(NodeJobs, UserCommandsRunOnlyWhatIsGranted) {
    SM_RUN_IN_PRIVATE_NODE(
        {"-s", "for u in smbackup smbackup2 smadmin; do useradd -M -d / -s /bin/sh $u; done"}, true);
    Sandbox sb;
    const std::string out = sb.path("out"), pre = sb.path("pre.sh"), mark = sb.path("marker");
    ::mkdir(out.c_str(), 01777);
    ::chmod(out.c_str(), 01777);
    const std::string probe = "#!/bin/sh\nid -un > " + out + "/who\ncase $1 in [0-9]*) exit $1;; esac\n";
    for (const std::string& p : {pre, sb.path("ro/bin/sm_probe")}) {
        write_file(p, probe);
        ::chmod(p.c_str(), 0755);
    }
    const char* allow = "/etc/zarvo_cmdusers.allow";
    struct Case {
        std::string user, cmd;
        char allow;  // o: fine, -: missing, w: writable by others, u: a user's
        int rc;
        std::string msg, who;
    } cases[] = {
        {"smbackup", pre + " -v", 'o', 0, "success", "smbackup"},
        {"smbackup2", pre, 'o', 2, pre + " with user smbackup2 not allowed", ""},
        {"smbackup", "/bin/touch " + mark, 'o', 2, "/bin/touch with user smbackup not allowed", ""},
        {"smadmin", pre + " 3", 'o', 2, "Program returned exit state 3", "smadmin"},
        {"smadmin", pre + " x'; touch " + mark + "; echo '", 'o', 0, "success", "smadmin"},
        {"smbackup", "sm_probe", '-', 0, "success", "smbackup"},
        {"root", "sm_probe; touch " + mark, 'o', 2, "not allowed: shell control characters", ""},
        {"root", "../../../../../../bin/touch " + mark, 'o', 2, "/bin/touch with user root not allowed", ""},
        {"root;touch " + mark, "sm_probe", 'o', 2, "the user name is not valid", ""},
        {"smadmin", pre, 'w', 2, "writable by group or others", ""},
        {"smadmin", pre, 'u', 2, "not owned by root", ""},
        {"smadmin", pre, '-', 2, "could not open file /etc/zarvo_cmdusers", ""},
        {"zbccopy", "/bin/touch " + mark, 'o', 2, "not allowed: outside the bin directory", ""},
        {"zbccopy", "sm_probe", 'o', 0, "no message", "root"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user + " / " + c.cmd);
        ::unlink(allow);
        ::unlink((out + "/who").c_str());
        ::unlink(mark.c_str());
        if (c.allow != '-') {
            write_file(allow, "smbackup " + pre + ".old\nsmbackupx *\nsmadmin *\n");
            ::chmod(allow, c.allow == 'w' ? 0666 : 0644);
            if (c.allow == 'u') {
                ASSERT_EQ(::chown(allow, ::getpwnam("smbackup")->pw_uid, 0), 0);
            }
        }
        RunResult r = sb.sm({"-f", "x", "-u", c.user, "-s", c.cmd});
        EXPECT_EQ(r.rc, c.rc) << r.err;
        EXPECT_NE(status(r).find(c.msg), std::string::npos) << status(r);
        EXPECT_EQ(exists(out + "/who") ? read_file(out + "/who") : "", c.who.empty() ? "" : c.who + "\n");
        EXPECT_FALSE(exists(mark));
    }
}

TEST(NodeJobs, CopiesStayInTheirDirectories) {
    Sandbox sb;
    const std::string server = sb.path("rw/zbc_server/"), bytes("put\0\xff'\n", 7), odd = "a'b $(x) \xe9";
    ::mkdir(server.c_str(), 0755);
    ::mkdir(sb.path("rw/in").c_str(), 0755);
    write_file(sb.path("rw/work/p1"), bytes);
    write_file(sb.path("rw/in/p2"), bytes);
    write_file(server + odd, bytes);
    struct Case {
        std::vector<std::string> args;
        int rc;
        std::string msg, copy;  // copy: a file that must then hold the bytes
    } cases[] = {
        {{"-m", "p", "-n", "p1"}, 0, "p1", "rw/zbc_server/p1"},
        {{"-m", "pd", "-n", "p2", "-s", "in"}, 0, "p2", "rw/zbc_server/p2"},
        {{"-m", "g", "-n", odd}, 0, odd, "rw/work/" + odd},
        {{"-m", "G", "-n", "p1", "-t", "in"}, 0, "p1", "rw/in/p1"},
        {{"-m", "g", "-n", "missing"}, 1, "missing", ""},
        {{"-m", "g", "-n", "p1", "-t", "nodir"}, 1, "cannot change dir to " + sb.path("rw/nodir"), ""},
        {{"-m", "g", "-n", "../p1"}, 2, "not a plain file name", ""},
        {{"-m", "g", "-n", "p1", "-t", "in/../../etc"}, 2, "not allowed: outside " + sb.path("rw/"), ""},
        {{"-m", "p", "-n", "p1", "-s", "..\\.."}, 2, "not allowed: outside", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[3]);
        std::vector<std::string> args{"-f", "f"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = sb.sm(args);
        EXPECT_EQ(r.rc, c.rc) << r.err;
        EXPECT_NE(status(r).find(c.msg), std::string::npos) << status(r);
        if (!c.copy.empty()) {
            EXPECT_EQ(read_file(sb.path(c.copy)), bytes);
        }
    }
    EXPECT_TRUE(exists(sb.path("rw/work/p1")));
    EXPECT_FALSE(exists(sb.path("rw/in/p2")));  // deleted after its put

    // Header and trailer templates, byte for byte, into work/smslis.
    const std::string ini = sb.path("rw/ini/"), lis = sb.path("rw/work/smslis/");
    EXPECT_EQ(status(sb.sm({"-f", "m", "-s", "S1"})), "STATUS=SUCCESS MSG=copy ok");
    EXPECT_EQ(read_file(lis + "S1.hdr"), read_file(ini + "mtf_extended_header.dat"));
    EXPECT_EQ(read_file(lis + "S1.trl"), read_file(ini + "mtf_trailer.dat"));
    EXPECT_EQ(sb.sm({"-f", "m", "-s", "../S1"}).rc, 2);
    ::unlink((ini + "mtf_trailer.dat").c_str());
    EXPECT_EQ(status(sb.sm({"-f", "m", "-s", "S2"})),
              "STATUS=WARNING MSG=could not open file " + ini + "mtf_trailer.dat to read");
    EXPECT_TRUE(exists(lis + "S2.hdr"));
    sb.exec({"/bin/rm", "-rf", lis});
    EXPECT_EQ(status(sb.sm({"-f", "m", "-s", "S3"})),
              "STATUS=WARNING MSG=could not open file " + lis + "S3.hdr to write");
}
