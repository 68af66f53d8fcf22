// The tape jobs against a virtual drive that the real mt queries through the kernel.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "ctrld_process.hpp"
#include "exec/child.hpp"
#include "support/run.hpp"
#include "util/posix.hpp"

using namespace testsupport;

namespace {

// A vtape mount with one drive "st0", unmounted and stopped on destruction.
class VtapeTest : public ::testing::Test {
   protected:
    void SetUp() override {
        if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse: cannot mount FUSE";
        if (::access("/usr/bin/mt", X_OK) != 0 && ::access("/bin/mt", X_OK) != 0) GTEST_SKIP() << "no mt";
        if (!exists(bin_dir() + "/vtape")) GTEST_SKIP() << "vtape not built (no libfuse3)";
        char tmpl[] = "/tmp/vtape.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        mnt_ = tmpl;
        exec::SpawnOptions opt;
        opt.err = exec::Stdio::pipe();
        daemon_ = exec::Child::spawn({bin_dir() + "/vtape", "--drives=st0", mnt_, "-f"}, opt);
        ASSERT_TRUE(daemon_.started());
        posix::set_nonblocking(daemon_.err().get(), true);
        int st = 0;
        for (int i = 0; i < 500 && !exists(control()); ++i)
            if (daemon_.wait_for(10, st) == 1) break;
        if (!exists(control())) {
            std::string why;
            posix::read_all(daemon_.err().get(), why, posix::Deadline::after_ms(100));
            GTEST_SKIP() << "vtape could not mount: " << why.substr(0, why.find('\n'));
        }
    }
    void TearDown() override {
        if (mnt_.empty()) return;
        if (daemon_.started()) {
            run({"/bin/fusermount3", "-u", "-z", mnt_});
            int st = 0;
            if (daemon_.wait_for(5000, st) != 1) daemon_.kill(SIGKILL);
        }
        ::rmdir(mnt_.c_str());
    }
    std::string control() const { return mnt_ + "/control"; }
    void set_state(const std::string& s) { write_file(control(), "st0 " + s + "\n"); }
    std::string drive() const { return mnt_ + "/st0"; }

    std::string mnt_;
    exec::Child daemon_;
    Sandbox sb;
};

}  // namespace

// Every status word, from mt's texts, the driver's answer, or a device that cannot be used.
TEST_F(VtapeTest, StatusWordsOfTheRealMt) {
    struct Row {
        std::string state, device, want;
    } rows[] = {
        {"online", "", "STATUS=SUCCESS MSG=Drive tape online"},
        {"wprot", "", "STATUS=SUCCESS MSG=Drive tape online"},
        {"offline", "", "STATUS=ERROR MSG=Drive tape not_online"},
        {"empty", "", "STATUS=ERROR MSG=No tape in drive"},
        {"busy", "", "STATUS=ERROR MSG=Drive tape busy"},
        {"noioctl", "", "STATUS=ERROR MSG=Not defined"},  // opens, but the driver query fails
        {"online", "/nonexistent/st9", "STATUS=ERROR MSG=Not defined"},
        {"online", "-", "STATUS=ERROR MSG=Not defined"},  // mt must not take it for an option
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.state + " " + row.device);
        set_state(row.state);
        RunResult r = sb.sm(
            {"-i", "ts1", "-f", "t", "-t", "TAPE_DRIVE", "-d", row.device.empty() ? drive() : row.device});
        EXPECT_EQ(status(r), row.want);
        EXPECT_FALSE(exists(sb.path("rw/work/mt_status_resultts1.sgv")));
    }
}

// A status that fails is retried after a rewind; a drive that never answers costs the deadline only.
TEST_F(VtapeTest, RewindRetryAndHungDrive) {
    set_state("ioerror");
    EXPECT_EQ(status(sb.sm({"-i", "r1", "-f", "t", "-t", "TAPE_DRIVE", "-d", drive()})),
              "STATUS=SUCCESS MSG=Drive tape online");
    EXPECT_NE(read_file(control()).find("st0 online opens=4 status=3 rewinds=1"), std::string::npos)
        << read_file(control());

    sb.set_config("[Deadlines]", "mt", "1");
    set_state("hung");
    RunResult r = sb.sm({"-i", "h1", "-f", "t", "-t", "TAPE_DRIVE", "-d", drive()});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(status(r), "STATUS=ERROR MSG=mt did not answer within 1 s and was killed");
    EXPECT_FALSE(exists(sb.path("rw/work/mt_status_resulth1.sgv")));
    // The killed mt left the mount usable.
    set_state("online");
    EXPECT_EQ(status(sb.sm({"-i", "h2", "-f", "t", "-t", "TAPE_DRIVE", "-d", drive()})),
              "STATUS=SUCCESS MSG=Drive tape online");
}

// The drive's node (sb) reached over its control daemon, and a server whose
// database knows drive 7 there.
class VtapeNodeTest : public VtapeTest {
   protected:
    static constexpr const char* kNode = "127.0.0.41";
    void SetUp() override {
        VtapeTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ctrld_ = std::make_unique<ctrltest::CtrldProcess>(
            sb, std::map<std::string, std::string>{{"listen", kNode}});
        server_.set_config("[CTRLD_Server]", "CTRLD_Port", std::to_string(ctrld_->port()));
        for (const std::string& statement :
             {"insert into clients (client_id, name, os, accessmode) values (41, '" + std::string(kNode) +
                  "', 'Linux', 'CTRL')",
              "insert into hw_drives values (7, 41, 'TAPE_DRIVE', '" + drive() + "')"}) {
            const RunResult r =
                server_.exec({server_.path("ro/bin/damisql"), "-d", "zarvo_db", "-q", statement});
            ASSERT_EQ(r.rc, 0) << r.out << r.err;
        }
    }
    Sandbox server_;
    std::unique_ptr<ctrltest::CtrldProcess> ctrld_;
};

// A drive of another node answers, forwarded or asked before labelling, what it answers there.
TEST_F(VtapeNodeTest, StatusAndLabelThroughTheDrivesNode) {
    const std::string hostile = "/x'$(touch pwned)`touch pwned`;touch pwned";
    for (const std::string state : {"online", "empty", "offline", "hostile"}) {
        SCOPED_TRACE(state);
        set_state(state == "hostile" ? "online" : state);
        const std::string dev = state == "hostile" ? hostile : drive();
        const std::string there = status(sb.sm({"-i", "7", "-f", "t", "-t", "TAPE_DRIVE", "-d", dev}));
        EXPECT_EQ(status(server_.sm({"-c", kNode, "-i", "7", "-f", "t", "-t", "TAPE_DRIVE", "-d", dev})),
                  there);
        const RunResult init = server_.sm({"-i", "7", "-f", "i", "-d", dev, "-l", "VOL00042"});
        if (state == "online") {
            EXPECT_EQ(init.rc, 0) << init.err;
            EXPECT_NE(read_file(server_.path("rw/standins.log")).find("-t VOL00042:42"), std::string::npos);
        } else {
            EXPECT_EQ(status(init), "STATUS=WARNING MSG=" + there.substr(there.find("MSG=") + 4));
        }
    }
    EXPECT_EQ(status(server_.sm({"-i", "8", "-f", "i", "-d", drive(), "-l", "V1"})),
              "STATUS=WARNING MSG=no node found for drive 8");
    for (const Sandbox* s : {&sb, &server_}) {
        EXPECT_FALSE(exists(s->path("rw/work/pwned")));
        for (const auto& e : std::filesystem::directory_iterator(s->path("rw/work")))
            EXPECT_EQ(e.path().filename().string().find("TAPE_STATUS"), std::string::npos)
                << "answer file left";
    }
}

// Disk drives are judged without mt: a fixed disk by its device file, a changer by its mount check.
TEST(TapeStatus, DiskDrivesAndOptions) {
    Sandbox sb;
    write_file(sb.path("rw/ini/hd1"), "empty\n");
    write_file(sb.path("rw/ini/hd2"), "/data/vol7\n");
    const std::string check = sb.path("ro/bin/sm_os_diskchange");
    struct Row {
        std::vector<std::string> args;
        std::string want;
        bool check = false;  // the changer has a mount check
    } rows[] = {
        {{"-t", "DISK_HARD", "-d", "hd1"}, "STATUS=ERROR MSG=No tape in drive"},
        {{"-t", "DISK_HARD", "-d", "hd2"}, "STATUS=SUCCESS MSG=Drive tape online"},
        {{"-t", "DISK_HARD", "-d", "../ini/hd1"}, "STATUS=WARNING MSG=invalid device name ../ini/hd1"},
        {{"-t", "DISK", "-d", "c1"}, "STATUS=SUCCESS MSG=Drive tape online"},  // short type: a changer
        {{"-t", "TAPE_DRIVE", "-d", "/dev/x", "-i", "../x"},
         "STATUS=WARNING MSG=invalid request identifier ../x"},
        {{"-d", "/dev/x"}, "STATUS=WARNING MSG=missing device via -t"},
        // Values from outside reach mt and the mount check as one word.
        {{"-t", "TAPE_DRIVE", "-d", "/x'$(touch pwned)`touch pwned`;touch pwned"},
         "STATUS=ERROR MSG=Not defined"},
        {{"-t", "DISK_CHNG", "-d", "c1"}, "STATUS=SUCCESS MSG=Drive tape online", true},
        {{"-t", "DISK_CHNGX", "-d", "c1"}, "STATUS=ERROR MSG=No tape in drive", true},
        {{"-t", "DISK_CHNG'$(touch pwned);", "-d", "c1"}, "STATUS=ERROR MSG=No tape in drive", true},
    };
    bool check_written = false;  // the installation's own stand-in is replaced by a stricter one
    for (const Row& row : rows) {
        if (row.check && !std::exchange(check_written, true)) {
            write_file(check, "#!/bin/sh\n[ \"$1 $2\" = \"DISK_CHNG online\" ]\n");
            ::chmod(check.c_str(), 0755);
        }
        std::vector<std::string> args{"-f", "t"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        EXPECT_EQ(status(sb.sm(args)), row.want) << row.args[1];
    }
    EXPECT_FALSE(exists(sb.path("rw/work/pwned")));
}
