// A virtual tape drive mounted inside a lab node: the server's status and
// labelling jobs for that drive go to the node and give its answers.
#include <unistd.h>

#include <filesystem>

#include "lab.hpp"

using testsupport::RunResult;

namespace {

// vtape with drive "st0" mounted in NODE's own mount namespace, where its
// daemons and their jobs see it; unmounted on destruction.
class NodeDrive {
   public:
    explicit NodeDrive(const std::string& node) : node_(node), mnt_(lab::dir() + "/" + node + "/vtape") {
        std::filesystem::create_directories(mnt_);
        // Without -f it returns once mounted, the daemon staying in the node.
        const RunResult r = lab::run(node, {testsupport::bin_dir() + "/vtape", "--drives=st0", mnt_});
        mounted_ = r.rc == 0;
        if (!mounted_ || lab::run(node, {"test", "-e", mnt_ + "/control"}).rc != 0)
            why_ = "vtape could not mount in lab-" + node + ": " + r.err.substr(0, r.err.find('\n'));
    }
    ~NodeDrive() {
        if (mounted_) lab::run(node_, {"/bin/fusermount3", "-u", "-z", mnt_});
    }
    const std::string& why() const { return why_; }
    std::string device() const { return mnt_ + "/st0"; }
    void set_state(const std::string& s) {
        ASSERT_EQ(lab::run(node_, {"tee", mnt_ + "/control"}, "root", "st0 " + s + "\n").rc, 0);
    }

   private:
    std::string node_, mnt_, why_;
    bool mounted_ = false;
};

}  // namespace

TEST(RemoteDrive, StatusAndLabelGiveTheNodesAnswer) {
    LAB_REQUIRED();
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse: cannot mount FUSE";
    if (!testsupport::exists(testsupport::bin_dir() + "/vtape"))
        GTEST_SKIP() << "vtape not built (no libfuse3)";
    if (::access("/usr/bin/mt", X_OK) != 0 && ::access("/bin/mt", X_OK) != 0) GTEST_SKIP() << "no mt";
    const struct {
        std::string node;
        int client_id, drive;  // the node's row in the server's clients table, our drive number
    } nodes[] = {{"ctrl", 4, 21}, {"ssh", 3, 22}};
    for (const auto& n : nodes) {
        SCOPED_TRACE(n.node);
        NodeDrive drive(n.node);
        if (!drive.why().empty()) GTEST_SKIP() << drive.why();
        const std::string dn = std::to_string(n.drive), dev = drive.device();
        const RunResult row =
            lab::run("server", {"damisql", "-d", "zarvo_db", "-q",
                                "insert into hw_drives values (" + dn + ", " + std::to_string(n.client_id) +
                                    ", 'TAPE_DRIVE', '" + dev + "')"});
        ASSERT_EQ(row.rc, 0) << row.out << row.err;
        for (const std::string state : {"online", "empty", "offline"}) {
            SCOPED_TRACE(state);
            drive.set_state(state);
            const std::vector<std::string> status = {"-i", "T" + dn,     "-f", "t",
                                                     "-t", "TAPE_DRIVE", "-d", dev};
            std::vector<std::string> args = {"sm_client"};
            args.insert(args.end(), status.begin(), status.end());
            const std::string here = lab::status_line(lab::run(n.node, args));
            EXPECT_NE(here, "");
            args = {"-c", "lab-" + n.node};
            args.insert(args.end(), status.begin(), status.end());
            EXPECT_EQ(lab::status_line(lab::server(args)), here);

            const std::string log = lab::dir() + "/server/inst/rw/standins.log";
            const size_t logged = testsupport::read_file(log).size();
            const RunResult init = lab::server({"-i", dn, "-f", "i", "-d", dev, "-l", "VOL00042"});
            const bool labelled =
                testsupport::read_file(log).find("-t VOL00042:42", logged) != std::string::npos;
            if (state == "online") {
                EXPECT_EQ(init.rc, 0) << init.err;
                EXPECT_TRUE(labelled);
            } else {
                EXPECT_EQ(lab::status_line(init), "STATUS=WARNING MSG=" + here.substr(here.find("MSG=") + 4));
                EXPECT_FALSE(labelled);
            }
        }
    }
    EXPECT_EQ(lab::strays("server"), std::vector<int>{});
}
