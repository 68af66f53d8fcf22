// Starting "/bin/sh -c" children the same way everywhere.
#pragma once

#include <sys/types.h>

#include <string>

// Exit code of a child whose exec of the shell failed: errno + this.
constexpr int kExecFailBase = 160;

// Forks a child that runs "/bin/sh -c cmd" with the current environment,
// default signal dispositions and an empty signal mask. stdout_fd >= 0
// becomes the child's standard output. When the exec fails the child
// writes child_note (if any) and "start_system (child): <error> (<n>)" on
// stderr and exits with errno + 160. Returns the pid, or -1 (errno set).
// Standard streams are flushed first so no buffered output is duplicated.
pid_t spawn_shell(const std::string& cmd, int stdout_fd = -1, const std::string& child_note = {});

// waitpid retried on EINTR. Returns the pid, or -1 with errno set.
pid_t wait_child(pid_t pid, int* status, int options = 0);
