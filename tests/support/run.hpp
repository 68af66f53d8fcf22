// Test support: running programs with captured output, and throw-away
// installations in temporary directories.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
    int rc = -1;          // exit code, or 128+signal when killed
    bool timed_out = false;
    std::string out, err;
};

struct RunOptions {
    std::string stdin_data;                    // fed to the child's stdin
    bool stdin_null = true;                    // /dev/null when stdin_data is empty
    std::map<std::string, std::string> env;    // added to (or replacing) the environment
    std::vector<std::string> unset_env;        // removed from the environment
    std::string cwd;                           // working directory ("" = inherit)
    int timeout_ms = 30000;
};

// Runs argv[0] (a path) with argv, captures stdout and stderr.
RunResult run(const std::vector<std::string>& argv, const RunOptions& opt = {});

// Directory of the built programs and of the source tree.
std::string bin_dir();
std::string source_dir();

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool exists(const std::string& path);

// A fresh installation in a temporary directory, removed on destruction.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& dir() const { return dir_; }
    std::string root_file() const { return dir_ + "/zarvo.ini"; }
    std::string path(const std::string& rel) const { return dir_ + "/" + rel; }
    std::string store_file(const std::string& var) const { return dir_ + "/rw/glbv/" + var + ".sgv"; }
    std::string protocol() const { return read_file(dir_ + "/rw/prot/protocol.log"); }
    std::string hostname() const;

    // Runs the installation's sm_client (from the build) with ZARVO_INI set.
    RunResult sm(const std::vector<std::string>& args, RunOptions opt = {}) const;
    // Runs any program with ZARVO_INI set.
    RunResult exec(const std::vector<std::string>& argv, RunOptions opt = {}) const;

    // Variable store access for checks and set-up.
    std::string var(const std::string& name) const;
    void set_var(const std::string& name, const std::string& value) const;
    // Replaces or adds "key=value" in section of the main configuration.
    void set_config(const std::string& section, const std::string& key, const std::string& value) const;

private:
    std::string dir_;
};

}  // namespace testsupport
