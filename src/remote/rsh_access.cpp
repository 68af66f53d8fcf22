#include "remote/rsh_access.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "config/glbv.hpp"
#include "exec/child.hpp"
#include "log/prot.hpp"
#include "remote/alive.hpp"
#include "remote/remote_cmd.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"

namespace {

constexpr size_t kPieceMax = 65536;

// An output of the child: "-" is the process's own stream, else a file
// appended to (created private, never through a symbolic link).
int open_output(const std::string& name, int own) {
    if (name == "-") return own;
    return posix::open_fd(name, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0600).release();
}

// The child: connects, sends the input on the main channel (then shuts its
// sending side), and copies both channels as they come, so that neither
// can stall the other. Exit 0, or 128 + errno when no connection was made.
int rsh_child(std::string host, int port, const std::string& local, const std::string& remote,
              const std::string& cmd, const std::string& outName, const std::string& errName,
              const std::string& inName, str_log& log) {
    const int out = open_output(outName, 1);
    if (out < 0) return 128 + errno;
    const int err = errName.empty() || errName == outName ? out : open_output(errName, 2);
    if (err < 0) return 128 + errno;
    int in = 0;
    if (!inName.empty() && inName != "-") {
        in = posix::open_fd(inName, O_RDONLY | O_NOFOLLOW).release();
        if (in < 0) return 128 + errno;
    }
    char* h = host.data();
    int errChannel = -1;
    const int sock =
        rcmd(&h, static_cast<unsigned short>(port), local.c_str(), remote.c_str(), cmd.c_str(), &errChannel);
    if (sock < 0) {
        const int e = errno ? errno : ECONNREFUSED;
        SM_TRACE(log, 0, "iRshCmd (child): ERROR: %s (%d)", posix::errtext(e).c_str(), e);
        return 128 + e;
    }
    // rcmd has taken the server's state byte already: what follows on the
    // error channel is the command's own error output.
    SM_TRACE(log, 2, "read further bytes");
    std::string buf(kPieceMax, '\0');
    bool mainOpen = true, errOpen = errChannel >= 0, inOpen = true;
    int rc = 0;
    while (mainOpen || errOpen) {
        struct pollfd fds[3] = {{sock, POLLIN, 0}, {errChannel, POLLIN, 0}, {inOpen ? in : -1, POLLIN, 0}};
        if (!errOpen) fds[1].fd = -1;
        if (!mainOpen) fds[0].fd = -1;
        if (posix::poll_until(fds, 3, posix::Deadline::never()) < 0) return 1;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = posix::retry_eintr([&] { return ::recv(fds[i].fd, buf.data(), buf.size(), 0); });
            if (n <= 0) {
                (i == 0 ? mainOpen : errOpen) = false;
                continue;
            }
            SM_TRACE(log, 2, i == 0 ? "Receiving (%d)" : "Receiving stderr (%d)", static_cast<int>(n));
            if (!posix::write_all(i == 0 ? out : err, std::string_view(buf.data(), static_cast<size_t>(n))))
                rc = 1;
        }
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = posix::read_some(in, buf.data(), buf.size());
            if (n <= 0 || !posix::send_all(sock, std::string_view(buf.data(), static_cast<size_t>(n)))) {
                inOpen = false;
                ::shutdown(sock, SHUT_WR);  // the command sees the end of its input
            }
        }
    }
    ::close(sock);
    if (errChannel >= 0) ::close(errChannel);
    return rc;
}

}  // namespace

bool rsh_watch_step(int& counter) {
    counter = counter > kRshAlivePoll - 1 ? 0 : counter + 1;
    return counter >= kRshAlivePoll;
}

int iReceive(int iSocketRcmd, char* szBuff, int iBlen) {
    int got = 0;
    ssize_t n;
    do {
        n = posix::retry_eintr(
            [&] { return ::recv(iSocketRcmd, szBuff + got, static_cast<size_t>(iBlen - got), 0); });
        if (n < 0) {
            szBuff[got] = '\0';
            return -1;
        }
        got += static_cast<int>(n);
    } while (n > 0 && got < iBlen && szBuff[got - 1] != '\0');
    szBuff[got] = '\0';
    return got;
}

int iRshCmd(const std::string& szHost, const std::string& szLocal_user, const std::string& szRemote_user,
            const std::string& cpCmd, const std::string& cpOutFile, const std::string& cpErrFile,
            const std::string& cpInFile, std::string& cpMsg, str_log strLog, const std::string& cpShown) {
    const std::string& shown = cpShown.empty() ? cpCmd : cpShown;
    const std::string desc =
        sformat("%s -l %s %s >> %s", szHost.c_str(), szRemote_user.c_str(), shown.c_str(), cpOutFile.c_str());
    SM_TRACE(strLog, 1, "+++ iRshCmd: Cmd: %s", shown.c_str());
    SM_TRACE(strLog, 0, "iRshCmd: %s", desc.c_str());
    if (strLog.iFlg) PROT("I003-BASICS  RemoteCmd %s", desc.c_str());
    cpMsg.clear();

    struct servent* se = ::getservbyname("cmd", "tcp");
    if (!se) se = ::getservbyname("shell", "tcp");
    if (!se) {
        SM_TRACE(strLog, 0, "no entry found for 'cmd' or 'shell' in /etc/services");
        std::fprintf(stderr, "no entry found for 'shell' in /etc/services\n");
        cpMsg = "no entry found for 'cmd' or 'shell' in /etc/services";
        return -1;
    }
    const int port = se->s_port;
    str_log childLog = strLog;
    exec::SpawnOptions opt;
    opt.parent_death_signal = SIGKILL;  // its connection must not outlive the agent
    exec::Child child = exec::Child::call(
        [&]() {
            return rsh_child(szHost, port, szLocal_user, szRemote_user, cpCmd, cpOutFile, cpErrFile, cpInFile,
                             childLog);
        },
        opt);
    if (!child.started()) {
        const int e = child.error();
        cpMsg = sformat("iRshCmd: Unable to fork child process: %s (errno=%d)", posix::errtext(e).c_str(), e);
        std::fprintf(stderr, "%s\n", cpMsg.c_str());
        SM_TRACE(strLog, 0, "%s", cpMsg.c_str());
        return -1;
    }
    SM_TRACE(strLog, 1, "PID of child: %d", child.pid());

    // The alive test's own call must end by itself: nothing watches it.
    const bool nested = g_alive_check_running;
    const posix::Deadline limit =
        nested ? posix::Deadline::after_ms(kAliveTimeoutSec * 1000LL) : posix::Deadline::never();
    int counter = kRshFirstAlivePoll, status = 0, r;
    bool stopped = false;
    while (!stopped && (r = child.wait_for(kRshPollSec * 1000, status)) == 0) {
        if (limit.expired()) {
            cpMsg = sformat(pick(kMsgE020), szHost.c_str());
            child.kill(SIGKILL);
            r = child.wait(status) ? 1 : -1;
            break;
        }
        if (!rsh_watch_step(counter) || nested) continue;
        std::string noAlive;
        if (glbv_get("gv_rsh_no_alive", noAlive)) continue;
        g_alive_check_running = true;
        std::string amsg;
        if (i_HIDDEN_ALIVE_TEST(szHost, amsg, strLog) == 0) {
            SM_TRACE(strLog, 0, "alive_test_zbc failed for client: %s", amsg.c_str());
            SM_TRACE(strLog, 0, "stopping child process PID = %d", child.pid());
            child.kill(SIGHUP);
            if ((r = child.wait_for(kRshPollSec * 1000, status)) == 0) {
                child.kill(SIGKILL);
                r = child.wait(status) ? 1 : -1;
            }
            stopped = true;
        }
        g_alive_check_running = false;
    }
    int result = 0;
    if (r < 0) {
        const int e = errno;
        std::fprintf(stderr, "iRshCmd: no waiting child! %s (errno=%d)\n", posix::errtext(e).c_str(), e);
        SM_TRACE(strLog, 0, "No waiting child process! %s / errno %d", posix::errtext(e).c_str(), e);
        cpMsg = sformat("No waiting child process: %s %s %d", posix::errtext(e).c_str(), "/ errno:", e);
    } else if (WIFSIGNALED(status)) {
        if (cpMsg.empty())
            cpMsg = sformat("rcmd terminated due to the receipt of a signal that was not caught: %d",
                            WTERMSIG(status));
        std::fprintf(stderr, "%s\n", cpMsg.c_str());
        SM_TRACE(strLog, 0, "%s", cpMsg.c_str());
        result = -1;
    } else if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        SM_TRACE(strLog, 1, "rcmd returned status %d", code);
        if (code > kRshChildNoConnection) {
            const int e = code - kRshChildNoConnection;
            cpMsg = sformat("rcmd could not start: iRshCmd (child): %s (%d)", posix::errtext(e).c_str(), e);
            SM_TRACE(strLog, 0, "%s", cpMsg.c_str());
            result = -1;
        }
    }
    SM_TRACE(strLog, 1, "--- iRshCmd: cmd returns %d", status);
    return result;
}
