#include "records.hpp"

#include "genuine.hpp"
#include "screen_text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include <unistd.h>

namespace tlh {
namespace {

// The first second of year 1 and of year 10000: the times a date is written for.
constexpr double first_dated = -62135596800.0;
constexpr double after_dated = 253402300800.0;

// Python's repr of a float: what stands in a time's place where no date fits (nan, inf, 1e+17).
std::string number_text(double x) {
    char* text = PyOS_double_to_string(x, 'r', 0, 0, nullptr);
    if (!text) rt::throw_error();
    std::string out(text);
    PyMem_Free(text);
    return out;
}

// 2026-12-08T10:49:17.123Z, in UTC, to the millisecond; the number itself where no date of the
// years 1 to 9999 fits. Entries come many to a second: the date and time of day are formatted
// once per second.
std::string iso_time(double ts) {
    if (!(ts >= first_dated && ts < after_dated)) return number_text(ts);
    double whole = std::floor(ts);
    auto ms = static_cast<int>(std::lround((ts - whole) * 1000));
    auto secs = static_cast<long long>(whole);
    if (ms == 1000) {
        ms = 0;
        ++secs;
    }
    if (double(secs) >= after_dated) return number_text(ts);
    thread_local long long cached_secs = -1;
    thread_local char cached[32];
    thread_local int cached_len = 0;
    if (secs != cached_secs || !cached_len) {
        time_t t = time_t(secs);
        struct tm utc;
        if (!gmtime_r(&t, &utc)) return number_text(ts);
        cached_len = std::snprintf(cached, sizeof cached, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900,
                                   utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
        cached_secs = secs;
    }
    std::string out(cached, size_t(cached_len));
    char tail[5] = {'.', char('0' + ms / 100), char('0' + ms / 10 % 10), char('0' + ms % 10), 'Z'};
    out.append(tail, 5);
    return out;
}

// x with three decimals (a delay in seconds), as a JSON number; null where x is no finite number.
void append_seconds(std::string& out, double x) {
    if (!std::isfinite(x)) {
        out += "null";
        return;
    }
    if (std::fabs(x) >= 1e12) {
        char buf[400];
        std::snprintf(buf, sizeof buf, "%.3f", x);
        out += buf;
        return;
    }
    long long ms = std::llround(std::fabs(x) * 1000);
    if (x < 0 && ms) out += '-';
    out += std::to_string(ms / 1000);
    char frac[4] = {char('0' + ms / 100 % 10), char('0' + ms / 10 % 10), char('0' + ms % 10), 0};
    out += '.';
    out.append(frac, 3);
}

void utf8(std::string& out, Py_UCS4 c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xc0 | (c >> 6));
        out += char(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += char(0xe0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3f));
        out += char(0x80 | (c & 0x3f));
    } else {
        out += char(0xf0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3f));
        out += char(0x80 | ((c >> 6) & 0x3f));
        out += char(0x80 | (c & 0x3f));
    }
}

// A JSON string literal, valid UTF-8 whatever the text holds: control characters as JSON requires
// (C1 controls and DEL too), lone surrogates (from undecodable names) as \udcxx escapes.
template <class Char>
void json_chars(std::string& out, const Char* s, Py_ssize_t n) {
    static const char hex[] = "0123456789abcdef";
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Printable ASCII but the quote and the backslash goes as it is, a run at a time.
        Py_ssize_t j = i;
        while (j < n && s[j] >= 0x20 && s[j] < 0x7f && s[j] != '"' && s[j] != '\\') ++j;
        if (j > i) {
            if constexpr (sizeof(Char) == 1) {
                out.append(reinterpret_cast<const char*>(s + i), size_t(j - i));
            } else {
                for (Py_ssize_t k = i; k < j; ++k) out += char(s[k]);
            }
            i = j;
            if (i == n) break;
        }
        Py_UCS4 c = s[i];
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            default: break;
        }
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0xd800 && c <= 0xdfff)) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 15];
        } else {
            utf8(out, c);
        }
    }
}

void json_string(std::string& out, PyObject* text) {
    out += '"';
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: json_chars(out, PyUnicode_1BYTE_DATA(text), n); break;
        case PyUnicode_2BYTE_KIND: json_chars(out, PyUnicode_2BYTE_DATA(text), n); break;
        default: json_chars(out, PyUnicode_4BYTE_DATA(text), n); break;
    }
    out += '"';
}

void json_field(std::string& out, const char* key, PyObject* text) {
    out += ",\"";
    out += key;
    out += "\":";
    json_string(out, text);
}

// The message as text: None is empty, anything but a str is named by its type, as the terminal
// layout names it (the entry itself is left as it is).
Ref message_text(PyObject* msg) {
    if (msg == Py_None) return Ref::incref(name<"">());
    if (PyUnicode_Check(msg)) return Ref::incref(msg);
    return not_str_text(msg);
}

Ref text_of(PyObject* o) { return PyUnicode_Check(o) ? Ref::incref(o) : rt::to_str(o); }

// What one entry says, read from its attributes.
struct Entry {
    double ts;
    Ref level, logger, module, file, function, message, tags, kwargs, prefix;
    bool raw_line, redraw;
};

Ref padded_level(PyObject* level) {
    Ref text = text_of(level);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    if (n >= 10) return text;
    return rt::concat({text.get(), rt::str(std::string(size_t(10 - n), ' ')).get()});
}

// ts level logger file:function message key=value ..., and the message's further lines indented.
// Nothing of the log data can break the line or reach a terminal that shows the file: colours go,
// every other control character is shown escaped, and the fields before the message (the logger's
// name, the file, the function) stay on their line whatever they hold.
Ref plain_lines(double ts, PyObject* level, PyObject* logger, PyObject* place, PyObject* message, PyObject* kwargs) {
    Ref head = rt::concat({rt::str(iso_time(ts)).get(), name<" ">(), padded_level(level).get(), name<" ">(), logger,
                           name<" ">(), place, name<" ">()});
    head = shown_safely(without_colours(head.get()).get(), Keep::nothing);
    Ref body = Ref::incref(message);
    if (kwargs && PyDict_Check(kwargs) && PyDict_GET_SIZE(kwargs)) {
        for (const auto& [key, value] : rt::dict_items(kwargs)) {
            Ref shown = rt::owned(PyObject_Repr(value.get()));
            body = rt::concat({body.get(), name<" ">(), text_of(key.get()).get(), name<"=">(), shown.get()});
        }
    }
    Ref lines = split_lines(without_colours(body.get()).get());
    Py_ssize_t count = PyList_GET_SIZE(lines.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref line = shown_safely(PyList_GET_ITEM(lines.get(), i), Keep::nothing);
        PyList_SetItem(lines.get(), i, line.release());
    }
    Ref joined = rt::owned(PyUnicode_Join(name<"\n    ">(), lines.get()));
    return rt::concat({head.get(), joined.get(), name<"\n">()});
}

Ref json_line(double ts, PyObject* level, PyObject* logger, PyObject* module, PyObject* file, PyObject* function,
              PyObject* message, PyObject* kwargs, PyObject* tags, double now) {
    std::string out;
    out.reserve(512);
    out += "{\"time\":\"";
    out += iso_time(ts);
    out += '"';
    json_field(out, "level", text_of(level).get());
    json_field(out, "logger", logger);
    json_field(out, "module", module);
    json_field(out, "file", file);
    json_field(out, "function", function);
    json_field(out, "message", without_colours(message).get());
    out += ",\"fields\":{";
    if (kwargs && PyDict_Check(kwargs)) {
        bool first = true;
        for (const auto& [key, value] : rt::dict_items(kwargs)) {
            if (!first) out += ',';
            first = false;
            json_string(out, text_of(key.get()).get());
            out += ':';
            json_string(out, rt::owned(PyObject_Repr(value.get())).get());
        }
    }
    out += "},\"tags\":[";
    if (tags) {
        Ref sorted = rt::owned(PySequence_List(tags));
        rt::check_int(PyList_Sort(sorted.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sorted.get()); ++i) {
            if (i) out += ',';
            json_string(out, text_of(PyList_GET_ITEM(sorted.get(), i)).get());
        }
    }
    out += "],\"delay_s\":";
    append_seconds(out, now - ts);
    out += "}\n";
    return rt::owned(PyUnicode_DecodeUTF8(out.data(), Py_ssize_t(out.size()), "strict"));
}

}  // namespace

Format resolve_format(PyObject* g) {
    Ref value = global<"LOG_FORMAT">(g);
    if (value.get() == Py_None) {
        Ref environ = rt::getattr(global<"os">(g).get(), name<"environ">());
        value = rt::call_method(environ.get(), name<"get">(), {name<"TARVO_LOG_FORMAT">(), name<"terminal">()});
    }
    if (PyUnicode_Check(value.get())) {
        if (equal(value.get(), name<"terminal">()) || equal(value.get(), name<"">())) return Format::terminal;
        if (equal(value.get(), name<"plain">())) return Format::plain;
        if (equal(value.get(), name<"json">())) return Format::json;
        if (equal(value.get(), name<"auto">())) {
            // A terminal is the process's stderr on a terminal, with the default output path.
            Ref path = global<"STDERR">(g);
            if (!(PyUnicode_Check(path.get()) && equal(path.get(), name<"/dev/stderr">()))) return Format::plain;
            Ref process_stderr = rt::getattr(global<"sys">(g).get(), name<"__stderr__">());
            if (process_stderr.get() == Py_None) return Format::plain;
            return isatty(2) == 1 ? Format::terminal : Format::plain;
        }
    }
    rt::raise_format(PyExc_ValueError,
                     "unknown log format %R: TARVO_LOG_FORMAT and tarvo_loghandle.loghandle_imp.LOG_FORMAT take "
                     "'terminal', 'plain', 'json' or 'auto'",
                     value.get());
}

Records::Records(PyObject* g, Format format) : g_(g), format_(format) {}

void Records::add(PyObject* le, PyObject* parts) {
    PyObject* g = g_;
    if (!rt::check_int(PyObject_IsInstance(le, global<"LogEntry">(g).get()))) rt::raise_with(PyExc_AssertionError, le);
    Entry e;
    e.prefix = rt::getattr(le, name<"prefix">());
    e.module = rt::getattr(le, name<"module">());
    e.level = rt::getattr(le, name<"level">());
    if (below_min_level(g, e.prefix.get(), e.module.get(), e.level.get())) return;

    e.ts = PyFloat_AsDouble(rt::getattr(le, name<"timestamp">()).get());
    if (e.ts == -1 && PyErr_Occurred()) rt::throw_error();
    e.logger = rt::owned(PyUnicode_Join(name<".">(), e.prefix.get()));
    e.module = text_of(e.module.get());
    Ref stack_info = rt::getattr(le, name<"stack_info">());
    e.file = text_of(rt::getattr(stack_info.get(), name<"filename">()).get());
    e.function = text_of(rt::getattr(stack_info.get(), name<"func_name">()).get());
    e.message = message_text(rt::getattr(le, name<"msg">()).get());
    e.kwargs = rt::getattr(le, name<"kwargs">());
    e.tags = rt::getattr(le, name<"tags">());
    e.raw_line = rt::check_int(PySequence_Contains(e.tags.get(), name<"raw_line">()));
    e.redraw = e.raw_line && rt::check_int(PySequence_Contains(e.tags.get(), name<"redraw">()));

    Ref text;
    if (format_ == Format::json) {
        // A raw line is shown as it is: without its keyword values, as on the terminal.
        double now = PyFloat_AsDouble(genuine::clock(g).get());
        if (now == -1 && PyErr_Occurred()) rt::throw_error();
        text = json_line(e.ts, e.level.get(), e.logger.get(), e.module.get(), e.file.get(), e.function.get(),
                         e.message.get(), e.raw_line ? nullptr : e.kwargs.get(), e.tags.get(), now);
    } else {
        Ref place = rt::concat({genuine::base_name(g, e.file.get()).get(), name<":">(), e.function.get()});
        text = plain_lines(e.ts, e.level.get(), e.logger.get(), place.get(), e.message.get(),
                           e.raw_line ? nullptr : e.kwargs.get());
    }

    // A progress bar (a logger's lines redrawn in place) is thinned: its first state, at most one a
    // second after it, and always its last state when its run ends: when its logger writes another
    // kind of line, or at the end. Other loggers' lines in between change nothing.
    size_t at = size_t(std::find_if(bars_.begin(), bars_.end(), [&](const Bar& b) { return equal(e.prefix.get(), b.prefix.get()); }) -
                       bars_.begin());
    bool running = at < bars_.size();
    write_due(e.ts, parts, at);  // older states of other bars first
    if (e.redraw && running) {
        Bar& bar = bars_[at];
        if (e.ts - bar.written >= 1.0) {
            bar.pending.reset();
            bar.written = e.ts;
            rt::check_int(PyList_Append(parts, text.get()));
        } else {
            bar.pending = text;
        }
    } else {
        if (running) {  // its logger wrote another kind of line: the bar's run has ended
            if (bars_[at].pending) rt::check_int(PyList_Append(parts, bars_[at].pending.get()));
            bars_.erase(bars_.begin() + std::ptrdiff_t(at));
        }
        if (e.redraw) bars_.push_back(Bar{e.prefix, e.ts, Ref()});
        rt::check_int(PyList_Append(parts, text.get()));
    }
    // Bars quiet for a second are forgotten: their next state would be written at once anyway.
    std::erase_if(bars_, [&](const Bar& b) { return !b.pending && e.ts - b.written >= 1.0; });
}

void Records::write_due(double ts, PyObject* parts, size_t except) {
    for (size_t i = 0; i < bars_.size(); ++i) {
        Bar& bar = bars_[i];
        if (i == except || !bar.pending || !(ts - bar.written >= 1.0)) continue;
        rt::check_int(PyList_Append(parts, bar.pending.get()));
        bar.pending.reset();
        bar.written = ts;
    }
}

void Records::add_own(PyObject* message, PyObject* parts) {
    PyObject* g = g_;
    double now = PyFloat_AsDouble(genuine::clock(g).get());
    if (now == -1 && PyErr_Occurred()) rt::throw_error();
    Ref logger = Ref::incref(name<"tarvo_loghandle">());
    Ref text;
    if (format_ == Format::json) {
        text = json_line(now, name<"ERROR">(), logger.get(), name<"tarvo_loghandle.loghandle_imp">(), name<"">(),
                         name<"write_aiologs">(), message, nullptr, nullptr, now);
    } else {
        text = plain_lines(now, name<"ERROR">(), logger.get(), name<"loghandle_imp:write_aiologs">(), message, nullptr);
    }
    rt::check_int(PyList_Append(parts, text.get()));
}

void Records::flush(PyObject* parts) {
    for (const Bar& bar : bars_)
        if (bar.pending) rt::check_int(PyList_Append(parts, bar.pending.get()));
    bars_.clear();
}

}  // namespace tlh
