#include "text/record_text.hpp"

#include "text/screen_text.hpp"
#include "text/trace_ids.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace tlh {
namespace {

// A literal appended with the size the compiler knows (no strlen per piece).
template <size_t N>
void put(std::string& out, const char (&text)[N]) {
    out.append(text, N - 1);
}

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

}  // namespace

// Entries come many to a second: the date and time of day are formatted once per second.
void append_iso_time(std::string& out, double ts) {
    if (!(ts >= first_dated && ts < after_dated)) {
        out += number_text(ts);
        return;
    }
    double whole = std::floor(ts);
    auto ms = static_cast<int>(std::lround((ts - whole) * 1000));
    auto secs = static_cast<long long>(whole);
    if (ms == 1000) {
        ms = 0;
        ++secs;
    }
    if (double(secs) >= after_dated) {
        out += number_text(ts);
        return;
    }
    thread_local long long cached_secs = -1;
    thread_local char cached[32];
    thread_local int cached_len = 0;
    if (secs != cached_secs || !cached_len) {
        time_t t = time_t(secs);
        struct tm utc;
        if (!gmtime_r(&t, &utc)) {
            out += number_text(ts);
            return;
        }
        cached_len = std::snprintf(cached, sizeof cached, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900,
                                   utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
        cached_secs = secs;
    }
    out.append(cached, size_t(cached_len));
    char tail[5] = {'.', char('0' + ms / 100), char('0' + ms / 10 % 10), char('0' + ms % 10), 'Z'};
    out.append(tail, 5);
}

std::string iso_time(double ts) {
    std::string out;
    append_iso_time(out, ts);
    return out;
}

namespace {

// x with three decimals (a delay in seconds), as a JSON number; null where x is no finite number.
void append_seconds(std::string& out, double x) {
    if (!std::isfinite(x)) {
        put(out, "null");
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

// The str of UTF-8 text; ASCII (the usual record) is copied as it is, without decoding.
Ref text_of_utf8(const std::string& text) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
    unsigned char high = 0;
    for (size_t i = 0; i < text.size(); ++i) high |= bytes[i];
    if (high & 0x80) return rt::owned(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "strict"));
    Ref str = rt::owned(PyUnicode_New(Py_ssize_t(text.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(str.get()), text.data(), text.size());
    return str;
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
// (C1 controls and DEL too), lone surrogates (from undecodable names) as \udcxx escapes, and the
// line and paragraph separators (U+2028, U+2029) escaped too: readers that split lines by Unicode's
// rules (Python's str.splitlines, JavaScript) must still see one record a line.
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
            case '"': put(out, "\\\""); continue;
            case '\\': put(out, "\\\\"); continue;
            case '\n': put(out, "\\n"); continue;
            case '\r': put(out, "\\r"); continue;
            case '\t': put(out, "\\t"); continue;
            default: break;
        }
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0xd800 && c <= 0xdfff) || c == 0x2028 || c == 0x2029) {
            put(out, "\\u");
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
    put(out, ",\"");
    out += key;
    put(out, "\":");
    json_string(out, text);
}

}  // namespace

Ref text_of(PyObject* o) { return PyUnicode_Check(o) ? Ref::incref(o) : rt::to_str(o); }

namespace {

// The spaces that pad a level's name of n characters to 10.
PyObject* level_padding(Py_ssize_t n) {
    static PyObject* const pads[] = {name<"          ">(), name<"         ">(), name<"        ">(), name<"       ">(),
                                     name<"      ">(),     name<"     ">(),     name<"    ">(),     name<"   ">(),
                                     name<"  ">(),         name<" ">()};
    return n < 10 ? pads[n] : name<"">();
}

}  // namespace

Ref message_body(const Record& r, bool with_trace) {
    Ref body = Ref::incref(r.message);
    if (r.kwargs && PyDict_Check(r.kwargs) && PyDict_GET_SIZE(r.kwargs)) {
        for (const auto& [key, value] : rt::dict_items(r.kwargs)) {
            Ref shown = rt::owned(PyObject_Repr(value.get()));
            body = rt::concat({body.get(), name<" ">(), text_of(key.get()).get(), name<"=">(), shown.get()});
        }
    }
    if (with_trace && r.trace)
        body = rt::concat(
            {body.get(), name<" trace_id=">(), trace_id_of(r.trace), name<" span_id=">(), span_id_of(r.trace)});
    if (r.traceback) body = rt::concat({body.get(), name<"\n">(), r.traceback});  // under the message
    return body;
}

// Nothing of the log data can break the line or reach a terminal that shows the file: colours go,
// every other control character is shown escaped, and the fields before the message (the logger's
// name, the file, the function) stay on their line whatever they hold.
Ref plain_lines(double ts, PyObject* level, PyObject* logger, PyObject* place, PyObject* body) {
    Ref time = text_of_utf8(iso_time(ts));
    Ref level_text = text_of(level);
    PyObject* padding = level_padding(PyUnicode_GET_LENGTH(level_text.get()));
    // The usual entry, one line with nothing to remove or escape, in one piece.
    if (plain_already(level_text.get()) && plain_already(logger) && plain_already(place) && plain_already(body))
        return rt::concat({time.get(), name<" ">(), level_text.get(), padding, name<" ">(), logger, name<" ">(), place,
                           name<" ">(), body, name<"\n">()});
    Ref head = rt::concat(
        {time.get(), name<" ">(), level_text.get(), padding, name<" ">(), logger, name<" ">(), place, name<" ">()});
    head = shown_without_colours(head.get(), Keep::nothing);
    Ref lines = split_lines(without_colours(body).get());
    Py_ssize_t count = PyList_GET_SIZE(lines.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref line = shown_safely(PyList_GET_ITEM(lines.get(), i), Keep::nothing);
        PyList_SetItem(lines.get(), i, line.release());
    }
    Ref joined = rt::owned(PyUnicode_Join(name<"\n    ">(), lines.get()));
    return rt::concat({head.get(), joined.get(), name<"\n">()});
}

Ref plain_lines(const Record& r, PyObject* place) {
    return plain_lines(r.ts, r.level, r.logger, place, message_body(r, true).get());
}

namespace {

// How deep lists, tuples and dicts of keyword values are written as JSON; deeper ones (a list that
// holds itself among them) as their str() text.
constexpr int json_depth = 8;

void json_value(std::string& out, PyObject* v, int depth);

// An int as a JSON number; one too long for str() (past sys.get_int_max_str_digits()) as a
// string of its hexadecimal digits.
void json_int(std::string& out, PyObject* v) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow) {
        if (n == -1 && PyErr_Occurred()) rt::throw_error();
        char digits[24];
        auto [end, error] = std::to_chars(digits, digits + sizeof digits, n);
        (void)error;  // 24 places hold every long long
        out.append(digits, size_t(end - digits));
        return;
    }
    Ref text = Ref::steal(PyObject_Str(v));
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) rt::throw_error();
        PyErr_Clear();
        return json_string(out, rt::owned(PyNumber_ToBase(v, 16)).get());
    }
    out += PyUnicode_AsUTF8(text.get());
}

// Python's repr of a finite float is a valid JSON number (1e+17, 0.1); JSON has none for the
// others, which are written as the strings "nan", "inf", "-inf".
void json_float(std::string& out, double x) {
    if (std::isfinite(x)) {
        out += number_text(x);
        return;
    }
    out += std::isnan(x) ? "\"nan\"" : x > 0 ? "\"inf\"" : "\"-inf\"";
}

void json_array(std::string& out, PyObject* sequence, int depth) {
    Ref items = rt::owned(PySequence_Tuple(sequence));  // a list changed meanwhile changes nothing here
    out += '[';
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        if (i) out += ',';
        json_value(out, PyTuple_GET_ITEM(items.get(), i), depth + 1);
    }
    out += ']';
}

// A dict with str keys as an object, from one snapshot of its items (another thread may change
// it meanwhile, a repr of a value too): false, and nothing written, when a key is no str.
bool json_object(std::string& out, PyObject* dict, int depth) {
    std::vector<std::pair<Ref, Ref>> items = rt::dict_items(dict);
    for (const auto& item : items)
        if (!PyUnicode_CheckExact(item.first.get())) return false;
    out += '{';
    bool first = true;
    for (const auto& [key, value] : items) {
        if (!first) out += ',';
        first = false;
        json_string(out, key.get());
        out += ':';
        json_value(out, value.get(), depth + 1);
    }
    out += '}';
    return true;
}

// Values of exactly the types JSON has keep their type: str, int, float, bool, None, and lists,
// tuples and dicts with str keys of them. Anything else (a subclass included, whose str() may say
// something else than its value) is written as its str() text.
void json_value(std::string& out, PyObject* v, int depth) {
    if (v == Py_None) put(out, "null");
    else if (v == Py_True) put(out, "true");
    else if (v == Py_False) put(out, "false");
    else if (PyUnicode_CheckExact(v)) json_string(out, v);
    else if (PyLong_CheckExact(v)) json_int(out, v);
    else if (PyFloat_CheckExact(v)) json_float(out, PyFloat_AS_DOUBLE(v));
    else if ((PyList_CheckExact(v) || PyTuple_CheckExact(v)) && depth < json_depth) json_array(out, v, depth);
    else if (!(PyDict_CheckExact(v) && depth < json_depth && json_object(out, v, depth)))
        json_string(out, rt::to_str(v).get());
}

void json_fields(std::string& out, PyObject* kwargs) {
    put(out, ",\"fields\":{");
    if (kwargs && PyDict_Check(kwargs)) {
        bool first = true;
        for (const auto& [key, value] : rt::dict_items(kwargs)) {
            if (!first) out += ',';
            first = false;
            json_string(out, text_of(key.get()).get());
            out += ':';
            json_value(out, value.get(), 0);
        }
    }
    out += '}';
}

void json_tags(std::string& out, PyObject* tags) {
    put(out, ",\"tags\":[");
    if (tags && !(PyAnySet_CheckExact(tags) && PySet_GET_SIZE(tags) == 0)) {
        Ref sorted = rt::owned(PySequence_List(tags));
        rt::check_int(PyList_Sort(sorted.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sorted.get()); ++i) {
            if (i) out += ',';
            json_string(out, text_of(PyList_GET_ITEM(sorted.get(), i)).get());
        }
    }
    out += ']';
}

// "exception":{"type":"KeyError","message":"'body'","traceback":"Traceback (most recent call last):\n..."}
void json_exception(std::string& out, PyObject* exception, PyObject* traceback) {
    put(out, ",\"exception\":{");
    Ref type_name = rt::getattr(reinterpret_cast<PyObject*>(Py_TYPE(exception)), name<"__qualname__">());
    json_string(out, name<"type">());
    out += ':';
    json_string(out, type_name.get());
    json_field(out, "message", without_colours(rt::to_str(exception).get()).get());
    json_field(out, "traceback", without_colours(traceback).get());
    out += '}';
}

}  // namespace

Ref json_line(const Record& r) {
    std::string out;
    out.reserve(512);
    put(out, "{\"time\":\"");
    append_iso_time(out, r.ts);
    out += '"';
    json_field(out, "level", text_of(r.level).get());
    json_field(out, "logger", r.logger);
    json_field(out, "module", r.module);
    json_field(out, "file", r.file);
    json_field(out, "function", r.function);
    put(out, ",\"line\":");
    if (r.line && PyLong_CheckExact(r.line)) json_int(out, r.line);
    else put(out, "null");
    put(out, ",\"process\":");
    out += std::to_string(r.process);
    put(out, ",\"thread\":");
    if (r.thread && r.thread != Py_None) json_string(out, text_of(r.thread).get());
    else put(out, "null");
    json_field(out, "message", without_colours(r.message).get());
    json_fields(out, r.kwargs);
    if (r.trace) {
        json_field(out, "trace_id", trace_id_of(r.trace));
        json_field(out, "span_id", span_id_of(r.trace));
        json_field(out, "trace_flags", trace_flags_of(r.trace));
    }
    json_tags(out, r.tags);
    put(out, ",\"delay_s\":");
    append_seconds(out, r.now - r.ts);
    if (r.traceback) json_exception(out, r.exception, r.traceback);
    put(out, "}\n");
    return text_of_utf8(out);
}

}  // namespace tlh
