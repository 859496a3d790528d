// How bytes reach a stream whole, whoever makes the system calls (the writer's own thread through
// aiofiles, or the thread that writes entries at once): what to hand the system next, and what to
// make of what it took. One loop, driven by two callers.
#pragma once
#include <time.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace tlh {

// How long a write waits for an output that takes nothing (a non-blocking descriptor that is full)
// before it is given up.
constexpr double write_patience_s = 2.0;

inline double monotonic_seconds() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

class WholeWrite {
public:
    // `piece_limit`: the most bytes one system call may be given (0: all at once). With a limit,
    // each piece ends at the end of a line, so that another writer of the same file can only come
    // between whole lines; a line longer than the limit goes in a piece of its own.
    WholeWrite(std::string_view data, size_t piece_limit) noexcept : data_(data), limit_(piece_limit) { plan(); }

    // What to hand the system now; empty once everything is written.
    std::string_view next() const noexcept { return data_.substr(done_, piece_end_ - done_); }
    bool finished() const noexcept { return done_ == data_.size(); }
    size_t done() const noexcept { return done_; }

    // The system took `n` bytes of the piece (0: nothing now, the caller waits a little before it
    // asks again). False once nothing was taken for write_patience_s: the write is given up.
    bool took(size_t n) noexcept {
        if (n == 0) {
            double now = monotonic_seconds();
            if (!idle_since_) idle_since_ = now;
            return now - idle_since_ < write_patience_s;
        }
        idle_since_ = 0;
        done_ += std::min(n, piece_end_ - done_);
        if (done_ == piece_end_) plan();
        return true;
    }

private:
    void plan() noexcept {
        size_t left = data_.size() - done_;
        if (!limit_ || left <= limit_) {
            piece_end_ = data_.size();
            return;
        }
        // The last line end within the limit; or, for a line longer than the limit, that line.
        std::string_view window = data_.substr(done_, limit_);
        size_t cut = window.rfind('\n');
        if (cut != std::string_view::npos) {
            piece_end_ = done_ + cut + 1;
            return;
        }
        size_t end = data_.find('\n', done_ + limit_);
        piece_end_ = end == std::string_view::npos ? data_.size() : end + 1;
    }

    std::string_view data_;
    size_t limit_;
    size_t done_ = 0;
    size_t piece_end_ = 0;
    double idle_since_ = 0;
};

// What a write that stopped after `done` bytes made of the entries that end at `ends` (byte
// offsets, ascending): the entries written whole, the one cut in the middle (its rest, from `done`
// to its end, is written first by the next write, so that its lines come out whole), and those
// not written at all.
struct Stopped {
    size_t written;
    bool cut;
    size_t cut_end;  // where the cut entry ends
    size_t lost;
};

inline Stopped stopped_at(const std::vector<size_t>& ends, size_t done) noexcept {
    size_t written = size_t(std::upper_bound(ends.begin(), ends.end(), done) - ends.begin());
    // An entry is cut when some of its bytes were written: it starts before `done`.
    size_t start = written ? ends[written - 1] : 0;
    bool cut = written < ends.size() && done > start;
    size_t cut_end = cut ? ends[written] : 0;
    return {written, cut, cut_end, ends.size() - written - (cut ? 1 : 0)};
}

}  // namespace tlh
