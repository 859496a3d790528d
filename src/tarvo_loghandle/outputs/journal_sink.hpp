// The systemd journal as an output: each entry one record, sent with the journal's native protocol
// (journal.hpp), many to a system call, on the output's own thread. What the journal does not take
// goes to the stream instead, in the lines that stand in for the records (each after its priority,
// which the journal reads from its stream), counted, and told in a record once the journal takes
// records again, or at the end.
#pragma once
#include "outputs/stream_sink.hpp"

#include <memory>

namespace tlh {

class JournalSink final : public Sink {
public:
    // `executor`: the run's own thread (none for entries written at once, sent by the caller).
    JournalSink(PyObject* g, std::unique_ptr<StreamSink> stream, PyObject* executor);

    int traverse(visitproc visit, void* arg) const override;
    Ref notice(bool at_end) override;
    Ref delivering(ChunkOutput& chunk) override;
    Ref delivered(PyObject* result) override;
    Ref failure() const override { return stream_->failure(); }
    void deliver_now(ChunkOutput& chunk) override;
    Ref closing() override { return stream_->closing(); }
    void hand_over() override { stream_->hand_over(); }
    void lose(long long entries, PyObject* reason) override { stream_->lose(entries, reason); }

private:
    // The journal's socket, made when the first records are sent (and again after it could not be).
    Ref socket(double patience);
    // What the journal did not take of the records at hand: their stand-in lines, counted.
    Ref unsent(PyObject* result);

    PyObject* g_;
    std::unique_ptr<StreamSink> stream_;
    Ref executor_;
    Ref send_;  // the function the run's thread calls to send a chunk's records (made once)
    Ref socket_;
    Ref records_;  // the records being sent: (datagrams, stand-ins)
    bool sending_ = false;
    long long diverted_ = 0;
    Ref diverted_reason_;
    bool journal_taking_ = true;
};

}  // namespace tlh
