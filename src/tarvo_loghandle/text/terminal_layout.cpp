// The terminal layout: the raw-line, user and regular layouts of the rendering rules. A run of
// entries from one source shares one header, through the layout's prefix memory; the function a
// line comes from is shown when it changes; progress bars are redrawn in place.
#include "runtime/protocol.hpp"
#include "text/layout.hpp"
#include "text/library_calls.hpp"
#include "text/screen_text.hpp"

#include <cfloat>
#include <cmath>

namespace tlh {
namespace {

// " " and x with two decimals, as format(x, ".2f") writes it: the exact binary value rounded
// half to even, and a minus sign for every negative value (-0.00 included). Returns the length,
// or 0 for what it leaves to the interpreter (large values, infinities, NaN). x * 100 is exact
// in the 64-bit significand of x87's long double, so the rounding is done on the exact value.
size_t fixed_two_decimals(double x, char* out) {
    static_assert(LDBL_MANT_DIG >= 64, "x * 100 must be exact");
    if (!(std::fabs(x) < 1e12)) return 0;
    long double scaled = std::fabs(static_cast<long double>(x) * 100.0L);
    long double whole = std::floor(scaled);
    long double rest = scaled - whole;
    auto hundredths = static_cast<unsigned long long>(whole);
    if (rest > 0.5L || (rest == 0.5L && (hundredths & 1))) ++hundredths;
    char* p = out;
    *p++ = ' ';
    if (std::signbit(x)) *p++ = '-';
    p = rt::put_decimal(p, hundredths / 100);
    unsigned cents = unsigned(hundredths % 100);
    *p++ = '.';
    *p++ = char('0' + cents / 10);
    *p++ = char('0' + cents % 10);
    return size_t(p - out);
}

// " " + format(draw_dt, ".2f")
Ref time_label(PyObject* draw_dt) {
    if (PyFloat_CheckExact(draw_dt)) {
        char text[32];
        if (size_t n = fixed_two_decimals(PyFloat_AS_DOUBLE(draw_dt), text))
            return rt::owned(PyUnicode_FromStringAndSize(text, Py_ssize_t(n)));
    }
    return rt::concat({name<" ">(), rt::owned(PyObject_Format(draw_dt, name<".2f">())).get()});
}

// The time label, red when the entry waited more than a second (either way), grey otherwise.
Ref time_warning(PyObject* g, EntryView& e) {
    Ref draw_dt = library::delay(g, e);
    Ref label = time_label(draw_dt.get());
    Ref colour = library::late(g, draw_dt.get()) ? global<"color_red">(g) : global<"color_gray">(g);
    return rt::call(colour.get(), {label.get()});
}

// The message, rewritten in the entry itself (whoever else holds it sees the same text): a
// message of another type than str becomes a text naming the type, and a carriage return
// becomes the red glyph. The glyph is asked of termcolor only when a carriage return needs it,
// unless termcolor.colored has been replaced: then it is called for every message, as ever.
Ref rewritten_message(PyObject* g, EntryView& e) {
    Ref msg = e.message();
    if (!PyUnicode_Check(msg.get()) && msg.get() != Py_None) {
        msg = not_str_text(msg.get());
        rt::setattr(e.entry(), name<"msg">(), msg.get());
    }
    if (!rt::truth(msg.get())) return msg;
    Ref colored = rt::attribute<"colored">(global<"termcolor">(g).get());
    bool unchanged = library::is_colored(colored.get()) && PyUnicode_CheckExact(msg.get()) &&
                     PyUnicode_FindChar(msg.get(), '\r', 0, PyUnicode_GET_LENGTH(msg.get()), 1) == -1;
    if (!unchanged) {
        Ref glyph = rt::call(colored.get(), {name<"✗">(), name<"red">()});
        msg = rt::call_method(msg.get(), name<"replace">(), {name<"\r">(), glyph.get()});
    }
    rt::setattr(e.entry(), name<"msg">(), msg.get());
    return msg;
}

// `level in [TLogger.USER_ERROR, TLogger.USER_INFO]`: identity or ==, item by item.
bool user_level(PyObject* g, PyObject* level) {
    Ref tlogger = global<"TLogger">(g);
    Ref user_error = rt::getattr(tlogger.get(), name<"USER_ERROR">());
    Ref user_info = rt::getattr(tlogger.get(), name<"USER_INFO">());
    for (PyObject* item : {user_error.get(), user_info.get()})
        if (rt::check_int(PyObject_RichCompareBool(item, level, Py_EQ))) return true;
    return false;
}

// A name as it is shown inside a line: format(x, "") with its control characters escaped.
Ref one_line(PyObject* x) {
    Ref text = rt::fmt(x);
    return PyUnicode_Check(text.get()) ? shown_safely(text.get(), Keep::colours_tabs) : text;
}

// The message text, and under it the traceback of the exception logged with the entry.
Ref with_traceback(EntryView& e, Ref text) {
    Ref traceback = e.traceback_text();
    if (!traceback) return text;
    return rt::concat({text.get(), name<"\n">(), traceback.get()});
}

// Each line that `linesof(indent(text, bar))` gives, as a piece of its own.
void indented_lines(PyObject* g, PyObject* text, PyObject* bar, ChunkOutput& out) {
    Ref indented = rt::call(global<"indent">(g).get(), {text, bar});
    Ref lines = library::lines_of(g, indented.get());
    for (Ref& line : rt::iterate(lines.get())) out.piece(Py_False, line.get(), Py_False);
}

// A key of the prefix memory: a tuple of two or three items, ("raw_line", prefix),
// ("regular", prefix, module) or (filename, function), given by its items.
struct PrefixKey {
    PyObject* items[3];
    int size;
    PrefixKey(PyObject* a, PyObject* b) noexcept : items{a, b, nullptr}, size(2) {}
    PrefixKey(PyObject* a, PyObject* b, PyObject* c) noexcept : items{a, b, c}, size(3) {}
};

// The key the memory holds (None at first): compared with a new one as the tuples would be (item
// by item, the new key's item on the left, until one differs; then by length), without making
// them.
class PrefixMemory {
public:
    bool equals(const PrefixKey& key) const {
        if (!size_) return false;  // a tuple is never None
        int i = 0;
        for (; i < key.size && i < size_; ++i)
            if (!rt::check_int(PyObject_RichCompareBool(key.items[i], items_[i].get(), Py_EQ))) return false;
        return key.size == size_;
    }
    void hold(const PrefixKey& key) {
        for (int i = 0; i < 3; ++i) items_[i] = Ref::incref(i < key.size ? key.items[i] : nullptr);
        size_ = key.size;
    }
    void forget() {
        for (Ref& item : items_) item.reset();
        size_ = 0;
    }
    int traverse(visitproc visit, void* arg) const {
        for (const Ref& item : items_) Py_VISIT(item.get());
        return 0;
    }

private:
    Ref items_[3];
    int size_ = 0;
};

class TerminalLayout final : public Layout {
public:
    explicit TerminalLayout(PyObject* g) : g_(g), header_level_(rt::none()) {}

    void add(EntryView& e, ChunkOutput& out) override;
    void add_failure(PyObject* described, ChunkOutput& out) override;
    void add_losses(PyObject* text, ChunkOutput& out) override;
    // Among other processes' lines, each chunk starts with a header, which names this process.
    void chunk_begins(bool among_others) override {
        if (!among_others) {
            process_label_.reset();
            return;
        }
        forget_prefix();
        if (!process_label_) process_label_ = rt::ascii(" [pid ", (long long)getpid(), "]");
    }
    int traverse(visitproc visit, void* arg) const override {
        Py_VISIT(process_label_.get());
        if (int r = last_prefix_.traverse(visit, arg)) return r;
        if (int r = last_secondary_.traverse(visit, arg)) return r;
        Py_VISIT(header_level_.get());
        return 0;
    }

private:
    void add_pieces(EntryView& e, ChunkOutput& out);
    void raw_line(EntryView& e, PyObject* msg, PyObject* time_warn, ChunkOutput& out);
    void regular(EntryView& e, PyObject* msg, PyObject* time_warn, ChunkOutput& out);
    bool same_prefix(PrefixKey key);
    bool same_prefix_secondary(PrefixKey key);
    void forget_prefix() {
        last_prefix_.forget();
        last_secondary_.forget();
        header_level_ = rt::none();
    }
    // A header's text, with the process's label where it has one.
    Ref labelled(Ref header) const {
        return process_label_ ? rt::concat({header.get(), process_label_.get()}) : header;
    }

    PyObject* g_;
    // The prefix memory: the primary key of the last entry shown (its source), and its stack key
    // (the file and function). A new primary key also forgets the stack key.
    PrefixMemory last_prefix_;
    PrefixMemory last_secondary_;
    // The level the last header shows: an entry of its run with another level says its own.
    Ref header_level_;
    // " [pid 1234]" while other processes write the same output; null otherwise.
    Ref process_label_;
};

// `same = key == last`; the memory then holds the key. Its truth tells whether the run continues.
bool TerminalLayout::same_prefix(PrefixKey key) {
    bool same = last_prefix_.equals(key);
    if (!same) last_secondary_.forget();
    last_prefix_.hold(key);
    return same;
}

bool TerminalLayout::same_prefix_secondary(PrefixKey key) {
    bool same = last_secondary_.equals(key);
    last_secondary_.hold(key);
    return same;
}

// The rules render an entry as a generator would: a StopIteration that escapes them (from a
// sibling call) ends it as RuntimeError, not quietly.
void TerminalLayout::add(EntryView& e, ChunkOutput& out) {
    try {
        add_pieces(e, out);
    } catch (PyErr& err) {
        if (!err.matches(PyExc_StopIteration)) throw;
        throw PyErr(rt::replace_stop_iteration(rt::FrameKind::generator, Ref(err.ref())));
    }
}

void TerminalLayout::add_pieces(EntryView& e, ChunkOutput& out) {
    PyObject* g = g_;
    Ref msg = rewritten_message(g, e);
    Ref time_warn = time_warning(g, e);
    if (e.below_min_level()) return;
    if (e.raw_line()) return raw_line(e, msg.get(), time_warn.get(), out);
    PyObject* level = e.level().get();
    if (!user_level(g, level)) return regular(e, msg.get(), time_warn.get(), out);
    Ref text = with_traceback(e, rt::call(global<"get_as_strings">(g).get(), {msg.get(), e.kwargs().get()}));
    out.piece(Py_False, rt::call(global<"add_color">(g).get(), {text.get(), level}).get(), Py_False);
}

// The message of a raw-line entry may hold terminal control text; "%[" marks lines that overlap.
void TerminalLayout::raw_line(EntryView& e, PyObject* msg, PyObject* time_warn, ChunkOutput& out) {
    PyObject* g = g_;
    PyObject* redraw = e.redraw() ? Py_True : Py_False;
    PyObject* prefix = e.prefix().get();
    if (!same_prefix({name<"raw_line">(), prefix})) {
        Ref dotted = rt::owned(PyUnicode_Join(name<".">(), prefix));
        Ref head = labelled(rt::call(global<"color_raw_line">(g).get(), {dotted.get()}));
        Ref line = rt::concat({head.get(), time_warn});
        out.piece(Py_False, shown_safely(line.get(), Keep::colours_tabs).get(), redraw);
    }
    Ref bar = rt::concat({time_warn, rt::call(global<"color_raw_line">(g).get(), {name<"│">()}).get(), name<" ">()});
    PyObject* valid_msg = rt::truth(msg) ? msg : name<"">();
    PyObject* overlap = rt::check_int(PySequence_Contains(valid_msg, name<"%[">())) ? Py_True : Py_False;
    Ref parts = split_lines(valid_msg);
    for (Ref& part : rt::iterate(parts.get())) out.piece(overlap, rt::concat({bar.get(), part.get()}).get(), redraw);
}

void TerminalLayout::regular(EntryView& e, PyObject* msg, PyObject* time_warn, ChunkOutput& out) {
    PyObject* g = g_;
    if (!same_prefix({name<"regular">(), e.prefix().get(), e.module().get()})) {
        Ref pref = rt::call(global<"format_logentry_prefix">(g).get(), {e.entry()});
        if (process_label_) pref = rt::owned(PyNumber_InPlaceAdd(pref.get(), process_label_.get()));
        pref = rt::owned(PyNumber_InPlaceAdd(pref.get(), time_warn));
        Ref start = rt::call(global<"color_module">(g).get(), {name<"╔ ">()});
        Ref line = rt::owned(PyNumber_Add(start.get(), pref.get()));
        out.piece(Py_False,
                  PyUnicode_Check(line.get()) ? shown_safely(line.get(), Keep::colours_tabs).get() : line.get(),
                  Py_False);
        header_level_ = e.level();
    }
    Ref bar = rt::call(global<"color_module">(g).get(), {name<"║ ">()});
    PyObject* filename = e.filename().get();
    PyObject* function = e.function().get();
    if (!same_prefix_secondary({filename, function})) {
        Ref bn = library::base_name(g, filename);
        if (!equal(bn.get(), name<"__init__.py">())) {
            // One line, whatever the names hold: their line feeds are shown escaped.
            Ref text = rt::concat({one_line(bn.get()).get(), name<" ">(), one_line(function).get(), name<"() ">()});
            indented_lines(g, rt::call(global<"color_function">(g).get(), {text.get()}).get(), bar.get(), out);
        }
    }
    PyObject* text = rt::truth(msg) ? msg : name<"">();
    Ref shown = with_traceback(e, rt::call(global<"get_as_strings">(g).get(), {text, e.kwargs().get()}));
    // Readable without colour: an entry whose level is not the header's names its own.
    if (!equal(e.level().get(), header_level_.get()))
        shown = rt::concat({rt::to_str(e.level().get()).get(), name<" ">(), shown.get()});
    indented_lines(g, rt::call(global<"add_color">(g).get(), {shown.get(), e.level().get()}).get(), bar.get(), out);
}

// After an entry failed halfway, the next one starts with its header.
void TerminalLayout::add_failure(PyObject* described, ChunkOutput& out) {
    forget_prefix();
    Ref glyph = rt::call_method(global<"termcolor">(g_).get(), name<"colored">(), {name<"✗">(), name<"red">()});
    out.piece(Py_False, rt::concat({glyph.get(), name<"Cannot handle the log message: ">(), described}).get(),
              Py_False);
}

void TerminalLayout::add_losses(PyObject* text, ChunkOutput& out) {
    Ref report = rt::concat({name<"✗">(), text});
    out.piece(Py_False, rt::call(global<"color_red">(g_).get(), {report.get()}).get(), Py_False);
}

}  // namespace

std::unique_ptr<Layout> terminal_layout(PyObject* g) { return std::make_unique<TerminalLayout>(g); }

}  // namespace tlh
