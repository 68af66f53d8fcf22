#include "exec/pipe.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "exec/child.hpp"
#include "util/posix.hpp"

DB_PROC_PIP::~DB_PROC_PIP() {
    if (fpPipe || pid > 0) iPIPE_CLOSE(this);
}

std::string escape_dollars(const std::string& cpCmd) {
    std::string out;
    out.reserve(cpCmd.size() + 20);
    for (char c : cpCmd) {
        if (c == '$') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

int iPIPE_OPEN(std::string& cpCmd, DB_PROC_PIP* pPP) {
    const std::string cmd = escape_dollars(cpCmd);
    auto fail = [&](int err) {
        cpCmd = "popen failed: " + posix::errtext(err) + "\n";
        std::fputs(cpCmd.c_str(), stderr);
        return 0;
    };
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) return fail(errno);
    posix::UniqueFd rd(fds[0]), wr(fds[1]);
    pid_t pid = spawn_shell(cmd, wr.get());
    if (pid < 0) return fail(errno);
    wr.reset();
    FILE* f = ::fdopen(rd.get(), "r");
    if (!f) {
        int err = errno;
        rd.reset();
        int st;
        wait_child(pid, &st);
        return fail(err);
    }
    rd.release();
    pPP->fpPipe = f;
    pPP->pid = pid;
    return 1;
}

int iPIPE_READ(DB_PROC_PIP* sctPP, std::string& cpReturn, int iMaxLen) {
    cpReturn.clear();
    if (!sctPP || !sctPP->fpPipe || iMaxLen < 2) return 0;
    // fgets semantics: stop after a newline or at iMaxLen-1 characters.
    const size_t max = static_cast<size_t>(iMaxLen - 1);
    while (cpReturn.size() < max) {
        int c = std::getc(sctPP->fpPipe);
        if (c == EOF) {
            if (std::ferror(sctPP->fpPipe) && errno == EINTR) {
                std::clearerr(sctPP->fpPipe);
                continue;
            }
            break;
        }
        cpReturn.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return static_cast<int>(cpReturn.size());
}

int iPIPE_CLOSE(DB_PROC_PIP* sctPP) {
    if (!sctPP) return -1;
    if (sctPP->fpPipe) {
        std::fclose(sctPP->fpPipe);
        sctPP->fpPipe = nullptr;
    }
    if (sctPP->pid <= 0) return -1;
    int status = 0;
    pid_t r = wait_child(sctPP->pid, &status);
    sctPP->pid = -1;
    return r < 0 ? -1 : status;
}
