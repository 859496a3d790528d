// The layouts for log collectors: one self-contained line per line of text (plain), one JSON
// object per entry (json), or one journal record per entry (journal), without the colour calls of
// the terminal layout. A progress bar (a logger's raw lines redrawn in place) is thinned to a line
// a second and its last state.
#include "text/layout.hpp"
#include "text/library_calls.hpp"
#include "text/record_text.hpp"

#include <unistd.h>
#include <algorithm>
#include <vector>

namespace tlh {
namespace {

// The journal's priority of a level: debug 7, info 6, user-level info 5 (notice), warning 4, error
// and user-level error 3, critical 2; another level by its number, as TLogger tells it.
int journal_priority(PyObject* g, PyObject* level) {
    if (PyUnicode_Check(level)) {
        if (equal(level, name<"INFO">())) return 6;
        if (equal(level, name<"DEBUG">())) return 7;
        if (equal(level, name<"USER_INFO">())) return 5;
        if (equal(level, name<"WARNING">())) return 4;
        if (equal(level, name<"ERROR">()) || equal(level, name<"USER_ERROR">())) return 3;
        if (equal(level, name<"CRITICAL">())) return 2;
    }
    Ref number = rt::call_method(global<"TLogger">(g).get(), name<"level_from_level_name">(), {level});
    long n = PyLong_AsLong(number.get());
    if (n == -1 && PyErr_Occurred()) rt::throw_error();
    return n >= 50 ? 2 : n >= 40 ? 3 : n >= 30 ? 4 : n >= 25 ? 5 : n >= 20 ? 6 : 7;
}

// What the journal files the records under: the program's name, as the journal's own clients tell it.
Ref program_name(PyObject* g) {
    Ref argv = Ref::steal(PyObject_GetAttrString(global<"sys">(g).get(), "argv"));
    PyErr_Clear();
    // The first item taken once, with a reference: another thread may change sys.argv meanwhile.
    Ref program = argv && PyList_Check(argv.get()) ? Ref::steal(PySequence_GetItem(argv.get(), 0)) : Ref();
    PyErr_Clear();
    if (program && PyUnicode_Check(program.get())) {
        Ref base = library::base_name(g, program.get());
        if (PyUnicode_Check(base.get()) && PyUnicode_GET_LENGTH(base.get())) return base;
    }
    return Ref::incref(name<"python">());
}

class RecordLayout final : public Layout {
public:
    RecordLayout(PyObject* g, Format format)
        : g_(g), format_(format), identifier_(format == Format::journal ? program_name(g) : Ref()) {}

    void add(EntryView& e, ChunkOutput& out) override;
    void add_failure(PyObject* described, ChunkOutput& out) override {
        own_line(rt::concat({name<"Cannot handle the log message: ">(), described}).get(), out);
    }
    void add_losses(PyObject* text, ChunkOutput& out) override { own_line(text, out); }
    // Among other processes' lines, a plain line names its process: logger[pid], as syslog does.
    // The process is asked once a chunk, not once an entry: a fork cannot come within one.
    void chunk_begins(bool among_others) override {
        name_process_ = among_others && format_ == Format::plain;
        pid_ = long(getpid());
    }
    // The last state of every thinned progress bar that has not been written yet.
    void finish(ChunkOutput& out) override {
        for (const Bar& bar : bars_)
            if (bar.pending) emit(bar.pending.get(), out);
        bars_.clear();
    }
    int traverse(visitproc visit, void* arg) const override {
        Py_VISIT(identifier_.get());
        Py_VISIT(last_prefix_.get());
        for (const Bar& bar : bars_) {
            Py_VISIT(bar.prefix.get());
            Py_VISIT(bar.pending.get());
        }
        return 0;
    }

private:
    // A logger's progress bar, thinned to a line a second.
    struct Bar {
        Ref prefix;
        double written;  // time stamp of its last line written
        Ref pending;     // its latest state, not written yet, or null
    };

    Ref record(EntryView& e, double ts, bool raw);
    // A line or, in the journal format, a record with what its stand-in lines are made of, into the chunk.
    void emit(PyObject* made, ChunkOutput& out) const {
        if (format_ == Format::journal) out.record(PyTuple_GET_ITEM(made, 0), PyTuple_GET_ITEM(made, 1));
        else out.line(made);
    }
    Ref journal(const Record& r, PyObject* place);
    void own_line(PyObject* message, ChunkOutput& out);
    void thin(PyObject* prefix, double ts, bool redraw, Ref&& text, ChunkOutput& out);
    void write_due(double ts, ChunkOutput& out, size_t except);

    // The logger's name that a prefix makes, ".".join(prefix); the last one is kept while the
    // entries of one logger follow each other (the same tuple of strs, which nothing can change).
    Ref logger_of(PyObject* prefix) {
        if (prefix == last_prefix_.get()) return last_logger_;
        Ref logger = rt::owned(PyUnicode_Join(name<".">(), prefix));
        if (PyTuple_CheckExact(prefix) && PyUnicode_CheckExact(logger.get())) {
            bool strs = true;
            for (Py_ssize_t i = 0; strs && i < PyTuple_GET_SIZE(prefix); ++i)
                strs = PyUnicode_CheckExact(PyTuple_GET_ITEM(prefix, i));
            if (strs) {
                last_prefix_ = Ref::incref(prefix);
                last_logger_ = logger;
            }
        }
        return logger;
    }

    PyObject* g_;
    Format format_;
    Ref identifier_;  // the journal's SYSLOG_IDENTIFIER
    Ref last_prefix_, last_logger_;
    bool name_process_ = false;
    long pid_ = long(getpid());  // this process, as the chunk began
    // The logger as a plain line names it: with the process's id among other processes' lines.
    Ref plain_logger(PyObject* logger) const {
        return name_process_ ? rt::concat({logger, rt::ascii("[", (long long)pid_, "]").get()}) : Ref::incref(logger);
    }
    std::vector<Bar> bars_;
};

void RecordLayout::add(EntryView& e, ChunkOutput& out) {
    if (e.below_min_level()) return;
    double ts = PyFloat_AsDouble(e.timestamp().get());
    if (ts == -1 && PyErr_Occurred()) rt::throw_error();
    bool raw = e.raw_line();
    thin(e.prefix().get(), ts, raw && e.redraw(), record(e, ts, raw), out);
}

// The entry's text. A raw line is shown as it is: without its keyword values, as on the terminal.
Ref RecordLayout::record(EntryView& e, double ts, bool raw) {
    PyObject* g = g_;
    Ref logger = logger_of(e.prefix().get());
    Ref module = text_of(e.module().get());
    Ref file = text_of(e.filename().get());
    Ref function = text_of(e.function().get());
    Ref message = e.message_text();
    Ref traceback = e.traceback_text();
    PyObject* line = e.line().get();
    Record r{ts,
             0,
             e.level().get(),
             logger.get(),
             module.get(),
             file.get(),
             function.get(),
             line,
             pid_,
             e.thread().get(),
             message.get(),
             raw ? nullptr : e.kwargs().get(),
             e.tags().get(),
             e.exception().get(),
             traceback.get(),
             raw ? nullptr : e.trace().get()};
    if (format_ == Format::json) {
        r.now = library::clock_seconds(g);
        return json_line(r);
    }
    // file:function:line, the line where the entry says it
    Ref base = library::base_name(g, file.get());
    Ref place = PyLong_CheckExact(line)
                    ? rt::concat({base.get(), name<":">(), function.get(), name<":">(), rt::to_str(line).get()})
                    : rt::concat({base.get(), name<":">(), function.get()});
    if (format_ == Format::journal) return journal(r, place.get());
    Ref shown_logger = plain_logger(r.logger);
    r.logger = shown_logger.get();
    return plain_lines(r, place.get());
}

// (the record, what its stand-in lines on stderr are made of should the journal not take it)
Ref RecordLayout::journal(const Record& r, PyObject* place) {
    int priority = journal_priority(g_, r.level);
    Ref body = message_body(r, false);
    Ref datagram = journal_record(r, body.get(), priority, identifier_.get());
    // The lines written in its stead are the plain layout's, trace ids included.
    Ref shown = r.trace ? message_body(r, true) : body;
    Ref stand_in = journal_stand_in(r.ts, r.level, r.logger, place, shown.get(), priority);
    return rt::tuple({datagram.get(), stand_in.get()});
}

// A line of the handler's own (an entry that cannot be shown, lost entries), at level ERROR.
void RecordLayout::own_line(PyObject* message, ChunkOutput& out) {
    double now = library::clock_seconds(g_);
    Record r{now,
             now,
             name<"ERROR">(),
             name<"tarvo_loghandle">(),
             name<"tarvo_loghandle.loghandle_imp">(),
             name<"">(),
             name<"write_aiologs">(),
             nullptr,
             long(getpid()),
             nullptr,
             message,
             nullptr,
             nullptr,
             nullptr,
             nullptr,
             nullptr};
    if (format_ == Format::json) out.line(json_line(r).get());
    else if (format_ == Format::journal) emit(journal(r, name<"loghandle_imp:write_aiologs">()).get(), out);
    else {
        Ref shown_logger = plain_logger(r.logger);
        r.logger = shown_logger.get();
        out.line(plain_lines(r, name<"loghandle_imp:write_aiologs">()).get());
    }
}

// A progress bar is thinned: its first state, at most one a second after it, and always its last
// state when its run ends: when its logger writes another kind of line, or at the end. Other
// loggers' lines in between change nothing.
void RecordLayout::thin(PyObject* prefix, double ts, bool redraw, Ref&& text, ChunkOutput& out) {
    size_t at =
        size_t(std::find_if(bars_.begin(), bars_.end(), [&](const Bar& b) { return equal(prefix, b.prefix.get()); }) -
               bars_.begin());
    bool running = at < bars_.size();
    write_due(ts, out, at);  // older states of other bars first
    if (redraw && running) {
        Bar& bar = bars_[at];
        if (ts - bar.written >= 1.0) {
            bar.pending.reset();
            bar.written = ts;
            emit(text.get(), out);
        } else {
            bar.pending = std::move(text);
        }
    } else {
        if (running) {  // its logger wrote another kind of line: the bar's run has ended
            if (bars_[at].pending) emit(bars_[at].pending.get(), out);
            bars_.erase(bars_.begin() + std::ptrdiff_t(at));
        }
        if (redraw) bars_.push_back(Bar{Ref::incref(prefix), ts, Ref()});
        emit(text.get(), out);
    }
    // Bars quiet for a second are forgotten: their next state would be written at once anyway.
    std::erase_if(bars_, [&](const Bar& b) { return !b.pending && ts - b.written >= 1.0; });
}

// Writes the pending states of the bars (but the one at `except`) whose last line is a second or
// more older than `ts`.
void RecordLayout::write_due(double ts, ChunkOutput& out, size_t except) {
    for (size_t i = 0; i < bars_.size(); ++i) {
        Bar& bar = bars_[i];
        if (i == except || !bar.pending || !(ts - bar.written >= 1.0)) continue;
        emit(bar.pending.get(), out);
        bar.pending.reset();
        bar.written = ts;
    }
}

}  // namespace

std::unique_ptr<Layout> record_layout(PyObject* g, Format format) { return std::make_unique<RecordLayout>(g, format); }

}  // namespace tlh
