#include "life/written_at_once.hpp"

#include "life/record_items.hpp"

#include "outputs/output.hpp"
#include "outputs/whole_write.hpp"
#include "process_state.hpp"

#include <mutex>

namespace tlh {
namespace {

// How many times entries logged by an at-once write itself (a __repr__ that logs) are written
// after it: past that, such a loop is cut and its entries counted.
constexpr int deferred_rounds = 8;

void write_entries(PyObject* g, PyObject* entries) {
    Output out = make_output(g, std::make_unique<StreamSink>(g), Py_None);
    try {
        out.begin_chunk();
        if (Ref notice = out.sink->notice(true)) {
            out.layout->add_losses(notice.get(), out.chunk);
            out.chunk.end_notice();
        }
        for (Ref& le : rt::iterate(entries)) {
            show_entry(g, *out.layout, out.chunk, as_entry(le.get()).get());
            out.chunk.end_entry();
        }
        out.layout->finish(out.chunk);
        out.chunk.end_last_line();
        out.sink->deliver_now(out.chunk);
    } catch (...) {
        out.sink->hand_over();
        throw;
    }
    out.sink->hand_over();
}

}  // namespace

void count_unwritten(PyObject* g, PyObject* entries, const char* why) {
    Py_ssize_t n = PyObject_Length(entries);
    if (n < 0) rt::throw_error();
    StreamSink stream(g);
    Ref reason = rt::str(why);
    stream.lose(n, reason.get());
    stream.hand_over();
    debug(g, rt::concat({rt::integer(n).get(),
                         name<" log entries written while no handler runs could not be written: ">(), reason.get()}));
}

AtOnceTurn::AtOnceTurn(PyObject* g) : g_(g), nested_(process().output_lock.held_here()), taken_(false) {
    if (!nested_) taken_ = process().output_lock.acquire(write_patience_s);
}

void AtOnceTurn::write(PyObject* entries) {
    ProcessState& state = process();
    if (nested_) {  // logged by what this thread's write runs: after it
        for (Ref& le : rt::iterate(entries)) state.deferred.push_back(std::move(le));
        return;
    }
    try {
        if (!taken_) return count_unwritten(g_, entries, "the output was taken by another writer for 2 s");
        Ref batch = Ref::incref(entries);
        for (int round = 0; batch; ++round) {
            if (round == deferred_rounds)
                return count_unwritten(g_, batch.get(), "they were logged while they were written");
            write_entries(g_, batch.get());
            batch.reset();
            if (!state.deferred.empty()) {
                batch = rt::owned(PyList_New(0));
                for (Ref& le : state.deferred) rt::check_int(PyList_Append(batch.get(), le.get()));
                state.deferred.clear();
            }
        }
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        debug(g_, rt::concat({name<"log entries written while no handler runs could not be written: ">(),
                              describe(e.value()).get()}));
    }
}

AtOnceTurn::~AtOnceTurn() noexcept(false) {
    if (taken_) process().output_lock.release();
}

void write_at_once(PyObject* g, PyObject* entries) {
    AtOnceTurn turn(g);
    turn.write(entries);
}

void write_owed(PyObject* g) {
    Ref none = rt::owned(PyList_New(0));
    ProcessState& state = process();
    bool owed;
    {
        std::lock_guard<rt::ProcessLock> locked(state.lock);
        owed = state.owed.any();
    }
    if (owed) write_at_once(g, none.get());
}

}  // namespace tlh
