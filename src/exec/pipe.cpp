#include "exec/pipe.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "exec/system.hpp"
#include "util/posix.hpp"

DB_PROC_PIP::~DB_PROC_PIP() {
    if (fpPipe || child.started()) iPIPE_CLOSE(this);
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
    exec::SpawnOptions opt;
    opt.out = exec::Stdio::pipe();
    exec::Child child = exec::Child::shell(cmd, opt);
    if (child.create_failed()) return fail(child.error());
    // A shell that cannot run reads as empty output and ends with its
    // start failure, as if it had been forked and failed there.
    posix::UniqueFd out = child.started() ? std::move(child.out()) : posix::open_fd("/dev/null", O_RDONLY);
    if (!child.started()) pPP->start_status = exec_failure_status(child.error());
    FILE* f = out ? ::fdopen(out.get(), "r") : nullptr;
    if (!f) return fail(errno);
    out.release();
    pPP->fpPipe = f;
    pPP->child = std::move(child);
    return 1;
}

int iPIPE_READ(DB_PROC_PIP* sctPP, std::string& cpReturn, int iMaxLen) {
    cpReturn.clear();
    if (!sctPP || !sctPP->fpPipe || iMaxLen < 2) return 0;
    // fgets semantics: stop after a newline or at iMaxLen-1 characters.
    const size_t max = static_cast<size_t>(iMaxLen - 1);
    while (cpReturn.size() < max) {
        // An interrupted read is tried again; the end or another error ends the line.
        const int c = posix::retry_eintr([&] {
            errno = 0;
            const int got = std::getc(sctPP->fpPipe);
            if (got == EOF && std::ferror(sctPP->fpPipe)) std::clearerr(sctPP->fpPipe);
            return got;
        });
        if (c == EOF) break;
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
    if (sctPP->start_status >= 0) return std::exchange(sctPP->start_status, -1);
    int status = 0;
    if (!sctPP->child.started() || !sctPP->child.wait(status)) return -1;
    sctPP->child = exec::Child();
    return status;
}
