#include "ctrld_relay.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr size_t kChunk = 262144;
constexpr int kPipeSize = 1 << 20;

}  // namespace

void CtrldRelay::Stream::consume(size_t n) {
    off += n;
    if (off >= buf.size()) clear();
}

CtrldRelay::CtrldRelay(int c1, int c2, posix::UniqueFd cmd_in, posix::UniqueFd cmd_out,
                       posix::UniqueFd cmd_err, std::string_view early_input)
    : c1_(c1),
      c2_(c2),
      cmdIn_(std::move(cmd_in)),
      cmdOut_(std::move(cmd_out)),
      cmdErr_(std::move(cmd_err)),
      storage_(std::make_unique_for_overwrite<char[]>(kChunk)) {
    // Larger pipes mean fewer switches between the command and us (best effort).
    ::fcntl(cmdIn_.get(), F_SETPIPE_SZ, kPipeSize);
    ::fcntl(cmdOut_.get(), F_SETPIPE_SZ, kPipeSize);
    for (int fd : {c1_, c2_, cmdIn_.get(), cmdOut_.get(), cmdErr_.get()})
        if (fd >= 0) posix::set_nonblocking(fd, true);
    in_.to = cmdIn_.get();
    out_ = {cmdOut_.get(), c1_, {}, 0, false};
    err_ = {cmdErr_.get(), c2_, {}, 0, !cmdErr_};
    scanner_.feed(early_input, in_.buf);
    if (scanner_.ended() && in_.empty()) close_input();
}

void CtrldRelay::close_input() {
    in_.clear();
    cmdIn_.reset();
}

void CtrldRelay::abandon_output() {
    out_.eof = err_.eof = true;
    out_.clear();
    err_.clear();
}

bool CtrldRelay::pull(Stream& s) {
    ssize_t got = posix::retry_eintr([&] { return ::read(s.from, storage_.get(), kChunk); });
    if (got > 0) {
        s.buf.assign(storage_.get(), static_cast<size_t>(got));
        s.off = 0;
        return true;
    }
    if (got == 0 || errno != EAGAIN) s.eof = true;
    return false;
}

bool CtrldRelay::push(Stream& s) {
    ssize_t w = posix::retry_eintr(
        [&] { return ::send(s.to, s.buf.data() + s.off, s.buf.size() - s.off, MSG_NOSIGNAL); });
    if (w > 0) {
        s.consume(static_cast<size_t>(w));
        return true;
    }
    if (w < 0 && errno != EAGAIN) vanished_ = true;
    return false;
}

CtrldRelay::Step CtrldRelay::step(const posix::Deadline& deadline, int extra_fd, const sigset_t* open_mask,
                                  const volatile sig_atomic_t* stop) {
    Step st;
    struct pollfd pf[6];
    int n = 0;
    int i_c1 = -1, i_in = -1, i_out = -1, i_err = -1, i_c2 = -1, i_x = -1;
    // The caller's connection is always watched: a close while the command
    // runs means the caller is gone.
    const bool want_in = in_.empty();
    if (!vanished_) {
        short ev = POLLRDHUP;
        if (want_in) ev |= POLLIN;
        if (!out_.empty()) ev |= POLLOUT;
        i_c1 = n;
        pf[n++] = {c1_, ev, 0};
    }
    if (cmdIn_ && !in_.empty()) {
        i_in = n;
        pf[n++] = {cmdIn_.get(), POLLOUT, 0};
    }
    if (!out_.eof && out_.empty()) {
        i_out = n;
        pf[n++] = {out_.from, POLLIN, 0};
    }
    if (!err_.eof && err_.empty()) {
        i_err = n;
        pf[n++] = {err_.from, POLLIN, 0};
    }
    if (c2_ >= 0 && !err_.empty() && !vanished_) {
        i_c2 = n;
        pf[n++] = {c2_, POLLOUT, 0};
    }
    if (extra_fd >= 0) {
        i_x = n;
        pf[n++] = {extra_fd, POLLIN, 0};
    }
    if (posix::poll_until(pf, static_cast<nfds_t>(n), deadline, open_mask, stop) < 0) {
        if (!(stop && *stop)) st.poll_errno = errno;
        return st;
    }
    auto ready = [&](int i, short ev) { return i >= 0 && (pf[i].revents & ev); };
    const short hup = POLLRDHUP | POLLHUP | POLLERR;
    if (!want_in && ready(i_c1, hup)) {
        vanished_ = true;
    } else if (want_in && ready(i_c1, POLLIN | hup)) {
        // Straight into the (empty) input buffer; dropped once the command's input is closed.
        ssize_t got = posix::retry_eintr([&] { return ::recv(c1_, storage_.get(), kChunk, 0); });
        if (got > 0) {
            st.moved = true;
            scanner_.feed(std::string_view(storage_.get(), static_cast<size_t>(got)), in_.buf);
            if (!cmdIn_) in_.clear();
        } else if (got == 0 || errno != EAGAIN) {
            vanished_ = true;
        }
    }
    if (ready(i_in, POLLOUT | POLLERR | POLLHUP)) {
        ssize_t w = posix::retry_eintr(
            [&] { return ::write(cmdIn_.get(), in_.buf.data() + in_.off, in_.buf.size() - in_.off); });
        if (w > 0) {
            in_.consume(static_cast<size_t>(w));
            st.moved = true;
        } else if (w < 0 && errno != EAGAIN) {
            close_input();  // the command stopped reading: drop its input
        }
    }
    if (cmdIn_ && scanner_.ended() && in_.empty()) close_input();
    if (ready(i_out, POLLIN | POLLHUP | POLLERR)) st.moved |= pull(out_);
    if (ready(i_err, POLLIN | POLLHUP | POLLERR)) st.moved |= pull(err_);
    if (!out_.empty() && ready(i_c1, POLLOUT | POLLERR | POLLHUP)) st.moved |= push(out_);
    if (!err_.empty() && ready(i_c2, POLLOUT | POLLERR | POLLHUP)) st.moved |= push(err_);
    if (vanished_) {
        // Nobody reads any more: output is dropped so that the session can end.
        out_.clear();
        err_.clear();
    }
    st.extra_ready = ready(i_x, POLLIN | POLLHUP | POLLERR);
    return st;
}
