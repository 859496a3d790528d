#include "outputs/journal_sink.hpp"

#include "outputs/journal_socket.hpp"

namespace tlh {
namespace {

// How long sending a record outside a handler's run may wait for a slow journal before its lines
// go to stderr instead.
constexpr double journal_patience_s = 2.0;

}  // namespace

JournalSink::JournalSink(PyObject* g, std::unique_ptr<StreamSink> stream, PyObject* executor)
    : g_(g),
      stream_(std::move(stream)),
      executor_(Ref::incref(executor)),
      send_(rt::make_function(send_records_def, g)) {}

int JournalSink::traverse(visitproc visit, void* arg) const {
    Py_VISIT(executor_.get());
    Py_VISIT(send_.get());
    Py_VISIT(socket_.get());
    Py_VISIT(records_.get());
    Py_VISIT(diverted_reason_.get());
    return stream_->traverse(visit, arg);
}

Ref JournalSink::notice(bool at_end) {
    if (diverted_ && (journal_taking_ || at_end)) {
        Ref count = rt::integer(diverted_);
        bool one = diverted_ == 1;
        diverted_ = 0;  // told: in the record, or in the lines that stand in for it
        return rt::concat({count.get(),
                           one ? name<" log entry could not be sent to the journal and was written to stderr: ">()
                               : name<" log entries could not be sent to the journal and were written to stderr: ">(),
                           diverted_reason_.get()});
    }
    // What the stream owes goes in a record too, which the stream itself does not see written.
    Ref owed = stream_->notice(at_end);
    if (owed) stream_->notice_told();
    return owed;
}

Ref JournalSink::socket(double patience) {
    if (!socket_) socket_ = journal_socket(g_, patience);
    return socket_;
}

Ref JournalSink::unsent(PyObject* result) {
    journal_taking_ = result == Py_None;
    Ref texts = ChunkOutput::unsent_texts(records_.get(), result);
    if (!journal_taking_) {
        diverted_ += PyList_GET_SIZE(texts.get());
        diverted_reason_ = describe(PyTuple_GET_ITEM(result, 1));
        socket_.reset();  // made again for the next records: the journal may have come back
    }
    records_.reset();
    return texts;
}

Ref JournalSink::delivering(ChunkOutput& chunk) {
    records_ = chunk.take_records();
    if (!records_) return stream_->delivering(chunk);
    sending_ = true;
    PyObject* datagrams = PyTuple_GET_ITEM(records_.get(), 0);
    Ref s;
    try {
        s = socket(0);
    } catch (PyErr& e) {  // tried again with the next chunk
        if (!e.matches(PyExc_Exception)) throw;
        return delivered(none_sent(PyList_GET_SIZE(datagrams), e.value()).get());
    }
    Ref loop = rt::call_method(global<"asyncio">(g_).get(), name<"get_running_loop">());
    return rt::call_method(loop.get(), name<"run_in_executor">(), {executor_.get(), send_.get(), s.get(), datagrams});
}

Ref JournalSink::delivered(PyObject* result) {
    if (!sending_) return stream_->delivered(result);
    sending_ = false;
    Ref texts = unsent(result);
    return stream_->delivering_texts(texts.get());
}

void JournalSink::deliver_now(ChunkOutput& chunk) {
    records_ = chunk.take_records();
    if (!records_) return stream_->deliver_now(chunk);
    PyObject* datagrams = PyTuple_GET_ITEM(records_.get(), 0);
    Ref result;
    try {
        result = send_records(socket(journal_patience_s).get(), datagrams);
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        result = none_sent(PyList_GET_SIZE(datagrams), e.value());
    }
    Ref texts = unsent(result.get());
    stream_->deliver_texts_now(texts.get());
}

}  // namespace tlh
