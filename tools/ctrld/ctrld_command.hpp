// The command of a session as a process: looked up, started as its user in
// a session of its own with the given standard streams, killed as a whole
// group, reaped.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "ctrld_decide.hpp"
#include "exec/child.hpp"
#include "util/posix.hpp"

// The passwd entry of name, or nothing.
std::optional<Identity> ctrld_lookup_user(const std::string& name);

// Where the command's standard streams go (descriptors stay the caller's).
struct CommandStdio {
    int in = -1, out = -1, err = -1;
};

// The running command: an exec::Child in a session of its own, so that
// killing it reaches every process it started.
class CtrldCommand {
   public:
    // Starts argv (found on env's PATH) as id, in id's home (else "/"),
    // with env and stdio. False with start_errno() set when it could not
    // start.
    bool start(const std::vector<std::string>& argv, const Identity& id, const std::vector<std::string>& env,
               CommandStdio stdio);
    int start_errno() const { return child_.error(); }

    // Readable once the first process has ended (-1 when the system has no
    // process descriptors: poll try_reap() then).
    int exit_fd() { return child_.exit_fd(); }
    // Reaps the first process when it has ended; true once reaped.
    bool try_reap();
    bool reaped() const { return reaped_; }
    // SIGKILL to every process of the command's group, also after its first
    // process was reaped (the group lives on while any member does).
    void kill_group() { child_.kill(SIGKILL); }
    // Kills and waits for the first process when it was not reaped yet.
    void finish();
    // The exit code for the caller: the status, 128 + signal, or 128 +
    // the reason it could not start.
    int exit_code() const;

   private:
    exec::Child child_;
    int status_ = 0;
    bool reaped_ = false;
};
