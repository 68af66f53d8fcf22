#include "remote/ctrlc_session.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "config/glbv.hpp"
#include "exec/child.hpp"
#include "exec/fileutil.hpp"
#include "remote/ctrl_conn.hpp"
#include "remote/ctrl_wire.hpp"
#include "remote/syserrtxt.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"
#include "util/timeutil.hpp"

volatile sig_atomic_t g_iEXITCODE = kCtrlcNoExitCode;
volatile sig_atomic_t g_hSocket1 = 0, g_hSocket2 = 0;
FILE* fd_stdin = nullptr;
FILE* fd_stdout = nullptr;
FILE* fd_stderr = nullptr;

namespace {

str_log g_ownLog;
str_log* g_mainLog = nullptr;
int g_idlePassLimit = kCtrlcMaxIdlePasses;
bool g_checkVerify = true;

// Set by the handler, traced by the loop (a handler does not write files).
volatile sig_atomic_t g_sigurgSeen = 0;
volatile sig_atomic_t g_isExitSet = 0;
volatile sig_atomic_t g_exitFromSd2 = 0;

void on_sigurg(int signo) {
    signal_handler(signo);
}

// Sends one piece completely. A failed send is retried where it stopped: the
// first three failures at once, then after a pause of a second each; 31
// failures in a row give up.
bool send_piece(int fd, std::string_view piece) {
    int failures = 0;
    for (;;) {
        size_t sent = 0;
        if (posix::send_all(fd, piece, posix::Deadline::never(), &sent)) return true;
        piece.remove_prefix(sent);
        if (sent > 0) failures = 0;
        if (++failures >= kCtrlcSendRetries) return false;
        if (failures > 3) wait_sec(1);
    }
}

// The exit code when the signal came too early to be seen (the daemon may
// finish before we own the socket): the urgent byte is still waiting then.
void take_late_exit_code() {
    if (g_isExitSet) return;
    int fd = g_hSocket2 > 0 ? g_hSocket2 : g_hSocket1;
    unsigned char b;
    if (posix::retry_eintr([&] { return ::recv(fd, &b, 1, MSG_OOB); }) == 1) {
        g_iEXITCODE = b;
        g_isExitSet = 1;
        g_exitFromSd2 = g_hSocket2 > 0;
        g_sigurgSeen = 1;
    }
}

void trace_handler_news(str_log& log) {
    if (!g_sigurgSeen) return;
    g_sigurgSeen = 0;
    SM_TRACE(log, 0, "signal_handler: SIGURG received");
    if (g_isExitSet)
        SM_TRACE(log, 0,
                 g_exitFromSd2 ? "signal_handler: OOB signal received on Sd2:%d"
                               : "signal_handler: OOB signal received on Sd1:%d",
                 static_cast<int>(g_iEXITCODE));
}

bool write_stream(FILE* f, const char* p, size_t n) {
    if (!f) return false;
    return std::fwrite(p, 1, n, f) == n;
}

void close_stream(FILE*& f, str_log& log) {
    if (f == stdout || f == stderr) {
        std::fflush(f);
        f = nullptr;
    }
    if (!f) return;
    if (std::fclose(f) != 0) {
        int err = errno;
        SM_TRACE(log, 0, "close failed: %s", posix::errtext(err).c_str());
        i_FILE_CLOSE(err);  // a full file system raises the alarm
    }
    f = nullptr;
}

}  // namespace

void ctrlc_set_main_log(str_log* log) {
    g_mainLog = log;
}
str_log& ctrlc_main_log() {
    return g_mainLog ? *g_mainLog : g_ownLog;
}
void ctrlc_set_idle_pass_limit(int passes) {
    g_idlePassLimit = passes > 0 ? passes : kCtrlcMaxIdlePasses;
}

int signal_handler(int signo) {
    if (signo != SIGURG) return signo;
    int saved = errno;
    g_sigurgSeen = 1;
    int fd = g_hSocket2 > 0 ? g_hSocket2 : g_hSocket1;
    unsigned char b;
    if (fd > 0 && ::recv(fd, &b, 1, MSG_OOB) == 1) {
        g_iEXITCODE = b;
        g_isExitSet = 1;
        g_exitFromSd2 = g_hSocket2 > 0;
    }
    errno = saved;
    return signo;
}

CtrlcPortSetting ctrlc_parse_port(const std::string& cpDftPort, str_log& log) {
    CtrlcPortSetting ps;
    size_t colon = cpDftPort.find(':');
    if (colon == std::string::npos) {
        ps.port = std::atoi(cpDftPort.c_str());
        return ps;
    }
    ps.port = std::atoi(cpDftPort.substr(0, colon).c_str());
    std::string opt = cut(cpDftPort.substr(colon + 1), kCtrlcOptionMax);
    SM_TRACE(log, 1, "check: >%s< for any port options", opt.c_str());
    if (opt.find("-s") != std::string::npos) {
        ps.single = true;
        SM_TRACE(log, 0, "Use single connection bcs. of argument %s", opt.c_str());
    } else if (opt.find("-o") != std::string::npos) {
        SM_TRACE(log, 1, "Use restricted port range bcs. of argument %s", opt.c_str());
        std::string range = opt.size() > 3 ? opt.substr(3) : std::string();
        size_t dash = range.find('-');
        if (dash != std::string::npos) {
            ps.range_start = std::atoi(range.substr(0, dash).c_str());
            ps.range_end = std::atoi(range.substr(dash + 1).c_str());
        } else {
            SM_TRACE(log, 0, "Attention: no range delimiter - found in:%s", range.c_str());
            ps.range_start = ps.range_end = std::atoi(range.c_str());
        }
        std::string shown = sformat("%d - %d", ps.range_start, ps.range_end);
        SM_TRACE(log, 0, "Use restricted port range:%s", shown.c_str());
    }
    return ps;
}

void STDIN_transfer(int hWriteSocket) {
    int src = fd_stdin ? ::fileno(fd_stdin) : STDIN_FILENO;
    // Uninitialised: zeroing 64 KiB per session is measurable.
    auto buf = std::make_unique_for_overwrite<char[]>(kCtrlcPieceMax);
    for (;;) {
        ssize_t n = posix::read_some(src, buf.get(), kCtrlcPieceMax);
        if (n <= 0) {
            send_piece(hWriteSocket, kStdinEndMarker);
            return;
        }
        if (!send_piece(hWriteSocket, std::string_view(buf.get(), static_cast<size_t>(n)))) return;
    }
}

namespace {

// One of the daemon's two connections and where its bytes go.
struct OutputSide {
    int fd;
    bool closed;
    const char* name;      // "1st" / "2nd"
    const char* received;  // trace of a read, with its byte count
    bool to_stderr;
};

// Reads what arrived on one connection into its stream. true when data came;
// marks the side closed at its end or on a broken connection.
bool take_output(OutputSide& side, std::span<char> buf, str_log& strLog, bool& closed_now) {
    const ssize_t n = posix::retry_eintr([&] { return ::recv(side.fd, buf.data(), buf.size(), 0); });
    SM_TRACE(strLog, 0, side.received, static_cast<int>(n));
    if (n > 0) {
        const auto piece = std::string_view(buf.data(), static_cast<size_t>(n));
        if (side.to_stderr) {
            write_stream(fd_stderr, piece.data(), piece.size());
            std::string verify;
            if (g_checkVerify && glbv_get("gv_log_verify", verify)) {
                std::fflush(fd_stderr);
                posix::write_all(STDOUT_FILENO, piece);
            }
        } else {
            write_stream(fd_stdout, piece.data(), piece.size());
            if (fd_stdout) std::fflush(fd_stdout);
        }
        return true;
    }
    if (n == 0) {
        SM_TRACE(strLog, 0, "write_output: %s SOCKET closed by remote side.", side.name);
    } else {
        const int err = errno;
        SM_TRACE(strLog, 0, "write_output: %s SOCKET error: [%s]", side.name,
                 syserrtxt(static_cast<unsigned long>(err), kErrSocket, "recv() call failed."));
        if (err == EAGAIN) return false;  // a broken connection delivers nothing more
    }
    side.closed = closed_now = true;
    return false;
}

}  // namespace

void STDOUT_STDERR_transfer(int hSocket1, int hSocket2, str_log& strLog, int iTimeout) {
    int urgent = hSocket2 > 0 ? hSocket2 : hSocket1;
    if (::fcntl(urgent, F_SETOWN, ::getpid()) < 0)
        SM_TRACE(strLog, 0, "F_SETOWN failed: %s", posix::errtext(errno).c_str());
    take_late_exit_code();
    // Standard error first, as the daemon's exit code travels on its socket.
    OutputSide sides[2] = {
        {hSocket2, hSocket2 <= 0, "2nd", "write_output: 2nd SOCKET activity. Bytes received:%d", true},
        {hSocket1, false, "1st", "write_output: 1st SOCKET activity. Bytes received: %d", false},
    };
    int silent = 0;
    auto storage = std::make_unique_for_overwrite<char[]>(kCtrlcPieceMax);
    std::span<char> buf(storage.get(), kCtrlcPieceMax);

    while ((!sides[0].closed || !sides[1].closed) && silent < g_idlePassLimit) {
        SM_TRACE(strLog, 0, "write_output: Entering select()");
        struct pollfd pfd[2];
        for (int i = 0; i < 2; ++i) pfd[i] = {sides[i].closed ? -1 : sides[i].fd, POLLIN, 0};
        if (iTimeout >= 1) SM_TRACE(strLog, 0, "write_output: select() with timeout %d", iTimeout);
        // An interruption (the exit code's SIGURG) waits on with the time left.
        const int rc = posix::poll_until(
            pfd, 2, iTimeout >= 1 ? posix::Deadline::after_ms(iTimeout * 1000LL) : posix::Deadline::never());
        const int err = rc < 0 ? errno : 0;
        trace_handler_news(strLog);
        if (rc < 0) {
            SM_TRACE(strLog, 0, "write_output: select() returned code %d:  (errno=%d) %s", rc, err,
                     posix::errtext(err).c_str());
            SM_TRACE(strLog, 0, "select() call failed: %s", posix::errtext(err).c_str());
        } else {
            SM_TRACE(strLog, 1, "write_output: select() returned code %d: (%d) %s", rc, err,
                     posix::errtext(err).c_str());
        }
        bool data = false, closed_now = false;
        for (int i = 0; i < 2; ++i) {
            // A hang-up or error is readable too: recv then tells which.
            if (rc > 0 && !sides[i].closed && (pfd[i].revents & (POLLIN | POLLHUP | POLLERR)))
                data = take_output(sides[i], buf, strLog, closed_now) || data;
        }
        if (data) {
            silent = 0;
        } else if (!closed_now) {
            SM_TRACE(strLog, 0,
                     "write_output: select() exit but no data activity on sockets, increasing seamless loop "
                     "counter and sleeping 1 sec. iSeamlessLoopCntr [%d]",
                     silent);
            wait_sec(1);
            ++silent;
        }
        SM_TRACE(strLog, 0,
                 "write_output: Status flags: isClosed1 = [%d] isClosed2 = [%d] g_isExitSet = [%d]",
                 sides[1].closed ? 1 : 0, sides[0].closed ? 1 : 0, 0);
    }
    take_late_exit_code();
    trace_handler_news(strLog);
    if (fd_stdout) std::fflush(fd_stdout);
    if (fd_stderr) std::fflush(fd_stderr);
}

void start_transfer(int hSocket1, int hSocket2, str_log& strLog, int iTimeout) {
    SM_TRACE(strLog, 0, "+++ start_transfer socket %d", hSocket1);
    // The trace texts name fork() as they always have; the pump is started
    // through the launcher.
    SM_TRACE(strLog, 1, "fork() call for STDIN");
    if (fd_stdout) std::fflush(fd_stdout);
    if (fd_stderr) std::fflush(fd_stderr);
    // The pump owns our standard input; it ends (killed and reaped) with
    // this function.
    exec::SpawnOptions pump_opt;
    pump_opt.parent_death_signal = SIGKILL;
    exec::Child pump = exec::Child::call(
        [&] {
            SM_TRACE(strLog, 0, "(child): call STDIN_transfer");
            if (hSocket2 > 0) ::close(hSocket2);
            ::close(STDOUT_FILENO);
            ::close(STDERR_FILENO);
            STDIN_transfer(hSocket1);
            return 0;
        },
        pump_opt);
    if (!pump.started()) {
        SM_TRACE(strLog, 0, "fork() call failed: %s", posix::errtext(pump.error()).c_str());
    } else if (!fd_stdin) {
        // Standard input belongs to the pump now; /dev/null keeps descriptor 0 taken.
        // (A session fed from a file leaves it to later sessions of this process.)
        int dn = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (dn >= 0) {
            if (dn != STDIN_FILENO) {
                ::dup2(dn, STDIN_FILENO);
                ::close(dn);
            }
        }
    }
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_sigurg;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGURG, &sa, &old);
    SM_TRACE(strLog, 0, "call STDOUT_STDERR_transfer socket %d", hSocket1);
    STDOUT_STDERR_transfer(hSocket1, hSocket2, strLog, iTimeout);
    SM_TRACE(strLog, 0, "after call STDOUT_STDERR_transfer  socket %d", hSocket1);
    pump = exec::Child();
    ::sigaction(SIGURG, &old, nullptr);
    SM_TRACE(strLog, 0, "--- start_transfer socket %d", hSocket1);
}

int ctrlc_wire_call(const std::string& cpDftPort, const std::string& cpRemoteHost,
                    const std::string& cpRemoteUser, const std::string& wire, const std::string& cpStdin,
                    const char* cpStdout, const char* cpStderr, int iTimeout, bool check_verify,
                    std::string& cpMsg) {
    str_log& log = ctrlc_main_log();
    g_iEXITCODE = kCtrlcNoExitCode;
    g_isExitSet = 0;
    g_sigurgSeen = 0;
    g_checkVerify = check_verify;
    std::string host = cut(cpRemoteHost, kCtrlcHostMax);
    std::string user = cut(cpRemoteUser, kCtrlcUserMax);

    CtrlcPortSetting ps = ctrlc_parse_port(cpDftPort, log);
    int sd1 = -1, sd2 = -1;
    int rc = sm_ctrl(host, ps.port, ps.range_start, ps.range_end, user, wire, &sd1,
                     ps.single ? nullptr : &sd2, iTimeout);
    SM_TRACE(log, 2, "sm_ctrlc calling user:%s host:%s cmd:%s  returned sock1:%d sock2:%d", user.c_str(),
             host.c_str(), wire.c_str(), sd1, sd2);
    if (rc != 0) {
        cpMsg = sm_ctrl_geterror();
        SM_TRACE(log, 0, "ERROR: sm_ctrlc call failed for user:%s host:%s cmd:%s", user.c_str(), host.c_str(),
                 wire.c_str());
        SM_TRACE(log, 0, "ERROR sm_ctrlc: %s ", cpMsg.c_str());
        const char* target = cpStderr && cpStdout ? cpStderr : cpStdout;
        if (target && std::strcmp(target, "-") == 0) {
            // Our own stream: stderr, so that the caller's output stays clean.
            std::fprintf(stderr, "ERROR: %s\n", cpMsg.c_str());
            std::fflush(stderr);
        } else if (target) {
            if (FILE* f = std::fopen(target, "a+e")) {
                std::fprintf(f, "ERROR: %s", cpMsg.c_str());
                std::fclose(f);
            }
        }
        SM_TRACE(log, 0, "--- SM_CTRLC_LIB: ERROR sm_ctrl call failed with return: %d", rc);
        return rc;
    }
    SM_TRACE(log, 1, "sm_ctrlc call ok for user:%s host:%s cmd:%s", user.c_str(), host.c_str(), wire.c_str());
    if (sd2 < 0) sd2 = 0;
    g_hSocket1 = sd1;
    g_hSocket2 = sd2;
    posix::UniqueFd own1(sd1), own2(sd2 > 0 ? sd2 : -1);

    fd_stdin = nullptr;
    if (!cpStdin.empty()) {
        SM_TRACE(log, 0, "got stdin file [%s]", cpStdin.c_str());
        fd_stdin = std::fopen(cpStdin.c_str(), "re");
        if (!fd_stdin) {
            SM_TRACE(log, 0, "--- SM_CTRLC_LIB  fopen(stdin file [%s]) failed: return %d", cpStdin.c_str(),
                     1);
            g_hSocket1 = 0;
            g_hSocket2 = 0;
            return 1;
        }
    } else {
        SM_TRACE(log, 1, "didn't got stdin file");
    }

    if (!cpStdout && !cpStderr) {
        fd_stdout = stdout;
        fd_stderr = stderr;
        SM_TRACE(log, 1, "calling start_transfer (1): **** socket %d", sd1);
        start_transfer(sd1, sd2, log, iTimeout);
    } else if (cpStdout) {
        bool both = cpStderr != nullptr;
        // "-": this process's own stream, shared with what it writes itself.
        auto open_out = [](const char* name, FILE* own) {
            return std::strcmp(name, "-") == 0 ? own : std::fopen(name, "a+e");
        };
        fd_stdout = open_out(cpStdout, stdout);
        fd_stderr = open_out(both ? cpStderr : cpStdout, both ? stderr : stdout);
        SM_TRACE(log, 1,
                 both ? "calling start_transfer (3): **** socket %d"
                      : "calling start_transfer (2): **** socket %d",
                 sd1);
        start_transfer(sd1, sd2, log, iTimeout);
        close_stream(fd_stdout, log);
        close_stream(fd_stderr, log);
    }
    // With an error file alone nothing is transferred.
    SM_TRACE(log, 1, "after call of start_transfer");
    if (!cpStdout && !cpStderr) {
        std::fflush(stdout);
        std::fflush(stderr);
    }
    fd_stdout = fd_stderr = nullptr;
    if (fd_stdin) {
        std::fclose(fd_stdin);
        fd_stdin = nullptr;
    }
    SM_TRACE(log, 2, "call shutdown ( hSocket1, 2 )");
    if (::shutdown(sd1, SHUT_RDWR) < 0 && errno != ENOTCONN)
        SM_TRACE(log, 0, "shutdown returned error:%d %s", errno, posix::errtext(errno).c_str());
    if (sd2 > 0) {
        SM_TRACE(log, 2, "call shutdown ( hSocket2, 2 )");
        if (::shutdown(sd2, SHUT_RDWR) < 0 && errno != ENOTCONN)
            SM_TRACE(log, 0, "shutdown returned error:%d %s", errno, posix::errtext(errno).c_str());
    }
    g_hSocket1 = 0;
    g_hSocket2 = 0;
    int result = g_iEXITCODE;
    SM_TRACE(log, 0, "--- SM_CTRLC_LIB  returns %d", result);
    return result;
}

int ctrlc_lib_call(const std::string& cpDftPort, const std::string& cpRemoteHost,
                   const std::string& cpRemoteUser, const std::string& cpCommand, const std::string& cpStdin,
                   const char* cpStdout, const char* cpStderr, int iTimeout) {
    str_log& log = ctrlc_main_log();
    v_set_log_main("sm_ctrlc_lib.lgc", "SM_CTRLC_LIB", log);
    g_iLogLevel = log.iFlg;
    g_iEXITCODE = kCtrlcNoExitCode;
    std::string host = cut(cpRemoteHost, kCtrlcHostMax);
    std::string user = cut(cpRemoteUser, kCtrlcUserMax);
    std::string what =
        sformat("%s %s %s %s", cpDftPort.c_str(), host.c_str(), user.c_str(), cpCommand.c_str());
    SM_TRACE(log, 0, "+++ SM_CTRLC_LIB is calling %s", what.c_str());
    std::string wire = ctrlc_wire_command(cpCommand);
    std::string msg;
    return ctrlc_wire_call(cpDftPort, host, user, wire, cpStdin, cpStdout, cpStderr, iTimeout, true, msg);
}
