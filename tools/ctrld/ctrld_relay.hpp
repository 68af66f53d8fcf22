// The byte streams of a running session: the caller's input up to its end
// marker into the command, the command's output and error to the caller.
#pragma once

#include <signal.h>

#include <memory>
#include <string>
#include <string_view>

#include "remote/ctrl_wire.hpp"
#include "util/posix.hpp"

class CtrldRelay {
   public:
    // c1: the caller's first connection (input from it, output to it); c2:
    // the second (error to it), -1 for none, when cmd_err goes to c1 too.
    // early_input: bytes that came behind the request. Sets the descriptors
    // non-blocking.
    CtrldRelay(int c1, int c2, posix::UniqueFd cmd_in, posix::UniqueFd cmd_out, posix::UniqueFd cmd_err,
               std::string_view early_input);

    struct Step {
        bool moved = false;        // bytes went somewhere
        bool extra_ready = false;  // extra_fd became readable
        int poll_errno = 0;        // the wait itself failed (not for *stop)
    };
    // Waits until the deadline for any stream or extra_fd (-1: none),
    // letting the signals of open_mask through (null: no change), and moves
    // what is ready. A signal that sets *stop ends the wait, nothing moved.
    Step step(const posix::Deadline& deadline, int extra_fd, const sigset_t* open_mask,
              const volatile sig_atomic_t* stop = nullptr);

    // The caller closed or broke a connection; its output is dropped.
    bool vanished() const { return vanished_; }
    // Both output streams ended and everything of them was sent.
    bool output_done() const { return out_.eof && err_.eof && out_.empty() && err_.empty(); }
    // Stops waiting for output whose writers will not end.
    void abandon_output();

   private:
    // One stream's bounded buffer: nothing more is read while written bytes
    // are pending (back-pressure).
    struct Stream {
        int from = -1, to = -1;
        std::string buf;
        size_t off = 0;
        bool eof = false;
        bool empty() const { return off >= buf.size(); }
        void consume(size_t n);
        void clear() {
            buf.clear();
            off = 0;
        }
    };
    bool pull(Stream& s);
    bool push(Stream& s);
    void close_input();

    int c1_, c2_;
    posix::UniqueFd cmdIn_, cmdOut_, cmdErr_;
    Stream in_, out_, err_;
    StdinEndScanner scanner_;
    bool vanished_ = false;
    std::unique_ptr<char[]> storage_;
};
