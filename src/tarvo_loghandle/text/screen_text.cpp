#include "text/screen_text.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tlh {
namespace {

// f(characters, length) over the text's own representation (1, 2 or 4 bytes a character).
template <class F>
auto by_kind(PyObject* text, F&& f) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return f(PyUnicode_1BYTE_DATA(text), n);
        case PyUnicode_2BYTE_KIND: return f(PyUnicode_2BYTE_DATA(text), n);
        default: return f(PyUnicode_4BYTE_DATA(text), n);
    }
}

// Length of the colour sequence ESC [ params m starting at i, or 0 when there is none. The
// parameter characters, 0-9 : ;, are the range 0x30 to 0x3b.
template <class Char>
Py_ssize_t colour_sequence(const Char* s, Py_ssize_t i, Py_ssize_t n) {
    if (i + 1 >= n || s[i + 1] != '[') return 0;
    for (Py_ssize_t j = i + 2; j < n; ++j) {
        Py_UCS4 c = s[j];
        if (c - 0x30 > 0x0b) return c == 'm' ? j - i + 1 : 0;
    }
    return 0;
}

// Whether s[i] must be written out; a colour sequence that is kept is passed over whole (i moves
// to its end).
template <Keep keep, class Char>
bool needs_escape(const Char* s, Py_ssize_t& i, Py_ssize_t n) {
    Py_UCS4 c = s[i];
    if (c == 0x1b) {  // the usual candidate: colours
        if constexpr (keep == Keep::nothing) return true;
        Py_ssize_t len = colour_sequence(s, i, n);
        i += len ? len - 1 : 0;
        return len == 0;
    }
    if ((c >= 0x20 && c < 0x7f) || c > 0x9f) return false;
    if (c == '\t') return keep == Keep::nothing;
    if (c == '\n') return keep != Keep::colours_tabs_line_feeds;
    return true;
}

#ifdef __SSE2__
// The characters that may need a look (below 0x20, or 0x7f to 0x9f) among the 16 bytes at p: a bit
// per byte.
template <class Char>
unsigned candidate_bytes(const Char* p) {
    static_assert(sizeof(Char) <= 2);
    auto below = [](__m128i v, int k) {  // lanes <= k, unsigned
        if constexpr (sizeof(Char) == 1)
            return _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(char(k))), _mm_setzero_si128());
        else return _mm_cmpeq_epi16(_mm_subs_epu16(v, _mm_set1_epi16(short(k))), _mm_setzero_si128());
    };
    auto minus = [](__m128i v, int k) {
        if constexpr (sizeof(Char) == 1) return _mm_sub_epi8(v, _mm_set1_epi8(char(k)));
        else return _mm_sub_epi16(v, _mm_set1_epi16(short(k)));
    };
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return unsigned(_mm_movemask_epi8(_mm_or_si128(below(v, 0x1f), below(minus(v, 0x7f), 0x20))));
}
#endif

template <class Char>
bool is_candidate(Char c) {
    return Py_UCS4(c) < 0x20 || (Py_UCS4(c) >= 0x7f && Py_UCS4(c) <= 0x9f);
}

// Where the next character at or after i may need a look: the rest is skipped a vector at a time.
template <class Char>
Py_ssize_t next_candidate(const Char* s, Py_ssize_t i, Py_ssize_t n) {
#ifdef __SSE2__
    if constexpr (sizeof(Char) <= 2) {
        constexpr Py_ssize_t lanes = 16 / sizeof(Char);
        for (; i + lanes <= n; i += lanes)
            if (unsigned mask = candidate_bytes(s + i)) return i + __builtin_ctz(mask) / Py_ssize_t(sizeof(Char));
        if (i < n && n >= lanes) {  // the tail: the last whole vector, less what lies before i
            Py_ssize_t at = n - lanes;
            unsigned mask = candidate_bytes(s + at) >> ((i - at) * Py_ssize_t(sizeof(Char)));
            return mask ? i + __builtin_ctz(mask) / Py_ssize_t(sizeof(Char)) : n;
        }
    }
#endif
    while (i < n && !is_candidate(s[i])) ++i;
    return i;
}

// next_candidate that also copies what it passes over to o, and moves o past it. A vector is
// written whole, so o may take up to a vector more than it keeps; it never runs ahead of s + i.
template <class Char>
Py_ssize_t copy_to_candidate(const Char* s, Py_ssize_t i, Py_ssize_t n, Char*& o) {
#ifdef __SSE2__
    if constexpr (sizeof(Char) <= 2) {
        constexpr Py_ssize_t lanes = 16 / sizeof(Char);
        for (; i + lanes <= n; i += lanes, o += lanes) {
            unsigned mask = candidate_bytes(s + i);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
            if (mask) {
                Py_ssize_t ahead = __builtin_ctz(mask) / Py_ssize_t(sizeof(Char));
                o += ahead;
                return i + ahead;
            }
        }
    }
#endif
    for (; i < n && !is_candidate(s[i]); ++i) *o++ = s[i];
    return i;
}

template <Keep keep, class Char>
Ref escape(PyObject* line, const Char* s, Py_ssize_t n) {
    Py_ssize_t i = 0;
    for (; (i = next_candidate(s, i, n)) < n; ++i)
        if (needs_escape<keep>(s, i, n)) break;
    if (i == n) return Ref::incref(line);  // clean: no copy

    static const char hex[] = "0123456789abcdef";
    std::vector<Py_UCS4> out(s, s + i);
    out.reserve(size_t(n) + 16);
    for (; i < n; ++i) {
        Py_ssize_t at = i;
        if (!needs_escape<keep>(s, at, n)) {
            out.insert(out.end(), s + i, s + at + 1);
            i = at;
            continue;
        }
        Py_UCS4 c = s[i];
        out.insert(out.end(), {'\\', 'x', Py_UCS4(hex[c >> 4]), Py_UCS4(hex[c & 15])});
    }
    return rt::owned(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), Py_ssize_t(out.size())));
}

template <Keep keep>
Ref escape_text(PyObject* text) {
    return by_kind(text, [&](const auto* s, Py_ssize_t n) { return escape<keep>(text, s, n); });
}

// The columns a character other than a tab or a control character takes on a terminal: two for the
// wide and full-width ones of East Asian scripts, none for combining marks and format characters,
// one for the rest. Told by the interpreter's own Unicode database, once per character.
int character_columns(Py_UCS4 c) {
    if (c < 0x300) return 1;
    struct Known {
        Py_UCS4 c;
        int columns;
    };
    thread_local Known known[256];  // the last character seen at each of 256 places, per thread
    Known& slot = known[(c ^ (c >> 8)) & 0xff];
    if (slot.c == c) return slot.columns;
    static PyObject* const east_asian_width =
        rt::getattr(rt::import("unicodedata").get(), name<"east_asian_width">()).release();
    static PyObject* const category_of = rt::getattr(rt::import("unicodedata").get(), name<"category">()).release();
    Ref ch = rt::owned(PyUnicode_FromOrdinal(int(c)));
    Ref width = rt::call(east_asian_width, {ch.get()});
    Ref category = rt::call(category_of, {ch.get()});
    int columns = 1;
    if (equal(width.get(), name<"W">()) || equal(width.get(), name<"F">())) columns = 2;
    else if (equal(category.get(), name<"Mn">()) || equal(category.get(), name<"Me">()) ||
             equal(category.get(), name<"Cf">()) || (c >= 0x1160 && c <= 0x11ff))
        columns = 0;
    slot = {c, columns};
    return columns;
}

constexpr Py_ssize_t tab_stop = 8;

// Walks a shown line column by column: `each(i, c, width)` for every character but those of colour
// sequences, which take no column. Returns the column after the line.
template <class Char, class Each>
Py_ssize_t walk_columns(const Char* s, Py_ssize_t n, Each&& each) {
    Py_ssize_t column = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (s[i] == 0x1b)
            if (Py_ssize_t len = colour_sequence(s, i, n)) {
                i += len - 1;
                continue;
            }
        Py_UCS4 c = s[i];
        Py_ssize_t width = c == '\t' ? tab_stop - column % tab_stop : c < 0x20 ? 0 : character_columns(c);
        each(i, c, width);
        column += width;
    }
    return column;
}

template <class Char>
Ref expand_tabs(PyObject* line, const Char* s, Py_ssize_t n) {
    if (PyUnicode_FindChar(line, '\t', 0, n, 1) == -1) return Ref::incref(line);
    std::vector<Py_UCS4> out;
    out.reserve(size_t(n) + 16);
    Py_ssize_t copied = 0;
    walk_columns(s, n, [&](Py_ssize_t i, Py_UCS4 c, Py_ssize_t width) {
        if (c != '\t') return;
        out.insert(out.end(), s + copied, s + i);
        out.insert(out.end(), size_t(width), Py_UCS4(' '));
        copied = i + 1;
    });
    out.insert(out.end(), s + copied, s + n);
    return rt::owned(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), Py_ssize_t(out.size())));
}

// The colour sequences found in a text, in order: the text without them is made once, at its
// length. The first few are remembered; those after them are found again when the text is made,
// which is right when every ESC after them starts one.
class ColourCuts {
public:
    void add(Py_ssize_t at, Py_ssize_t length) noexcept {
        if (count_ < kept) cuts_[count_] = {at, length};
        ++count_;
        removed_ += length;
    }
    bool any() const noexcept { return count_ > 0; }

    template <class Char>
    Ref cut_from(PyObject* text, const Char* s, Py_ssize_t n) const {
        // Of the text's kind: what is removed is ASCII and every other character stays.
        Ref out = rt::owned(PyUnicode_New(n - removed_, PyUnicode_MAX_CHAR_VALUE(text)));
        Char* o = static_cast<Char*>(PyUnicode_DATA(out.get()));
        Py_ssize_t copied = 0;
        auto cut = [&](Py_ssize_t at, Py_ssize_t length) {
            o = std::copy(s + copied, s + at, o);
            copied = at + length;
        };
        for (int c = 0; c < std::min(count_, kept); ++c) cut(cuts_[c].at, cuts_[c].length);
        for (Py_ssize_t i = copied; count_ > kept && i < n; ++i)
            if (s[i] == 0x1b) {
                Py_ssize_t length = colour_sequence(s, i, n);
                cut(i, length);
                i += length - 1;
            }
        std::copy(s + copied, s + n, o);
        return out;
    }

private:
    static constexpr int kept = 16;
    struct Cut {
        Py_ssize_t at, length;
    };
    Cut cuts_[kept];
    int count_ = 0;
    Py_ssize_t removed_ = 0;
};

// The text without its colour sequences when every ESC in it starts one (the usual case; nothing
// is left then that could put a new one together); null otherwise.
template <class Char>
Ref cut_when_every_escape_colours(PyObject* text, const Char* s, Py_ssize_t n) {
    ColourCuts cuts;
    for (const Char* at = s; (at = std::find(at, s + n, Char(0x1b))) != s + n;) {
        Py_ssize_t i = at - s, length = colour_sequence(s, i, n);
        if (!length) return Ref();
        cuts.add(i, length);
        at += length;
    }
    return cuts.any() ? cuts.cut_from(text, s, n) : Ref::incref(text);
}

// Colour sequences cannot overlap (one holds no ESC and no m but at its ends), so removing them
// in any order ends with the same text: here as a stack, in one pass, where a sequence that
// removing an inner one closes is taken off at its m.
template <class Char>
Ref strip_colours(PyObject* text, const Char* s, Py_ssize_t n) {
    if (Ref once = cut_when_every_escape_colours(text, s, n)) return once;
    // Written into a new string of the text's kind: what is removed is ASCII and every other
    // character stays, so the string cut to its length is of the kind its characters need.
    Ref out = rt::owned(PyUnicode_New(n, PyUnicode_MAX_CHAR_VALUE(text)));
    Char* o = static_cast<Char*>(PyUnicode_DATA(out.get()));
    Py_ssize_t k = 0;
    bool stripped = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        o[k++] = s[i];
        if (s[i] != 'm') continue;
        Py_ssize_t j = k - 1;
        while (j > 0 && Py_UCS4(o[j - 1]) - 0x30 <= 0x0b) --j;  // the parameters before the m
        if (j >= 2 && o[j - 1] == '[' && o[j - 2] == 0x1b) {
            k = j - 2;
            stripped = true;
        }
    }
    if (!stripped) return Ref::incref(text);
    PyObject* cut = out.release();
    rt::check_int(PyUnicode_Resize(&cut, k));  // made here and held by nobody else: resized in place
    return Ref::steal(cut);
}

// Colours removed and the rest shown safely in one pass, when every ESC starts a colour sequence
// and nothing else needs escaping (the usual case); null otherwise. What is left then holds no
// ESC, so removing the sequences cannot put a new one together, and none of it needs escaping:
// the text is what without_colours and shown_safely give one after the other. What is kept is
// copied as it is scanned (onto the stack for a line of the usual length), then made at its length
// in one go.
constexpr Py_ssize_t short_line = 256;

template <Keep keep, class Char>
Ref stripped_when_plain(PyObject* text, const Char* s, Py_ssize_t n) {
    Char on_stack[short_line];
    std::unique_ptr<Char[]> on_heap(n > short_line ? new Char[size_t(n)] : nullptr);
    Char* kept = on_heap ? on_heap.get() : on_stack;
    Char* o = kept;
    bool cut = false;
    for (Py_ssize_t i = 0; (i = copy_to_candidate(s, i, n, o)) < n;) {
        if (s[i] != 0x1b) {
            if (needs_escape<keep>(s, i, n)) return Ref();
            *o++ = s[i++];
            continue;
        }
        Py_ssize_t length = colour_sequence(s, i, n);
        if (!length) return Ref();
        i += length;
        cut = true;
    }
    if (!cut) return Ref::incref(text);
    // Of the text's kind: what is removed is ASCII and every other character stays.
    Ref out = rt::owned(PyUnicode_New(o - kept, PyUnicode_MAX_CHAR_VALUE(text)));
    std::copy(kept, o, static_cast<Char*>(PyUnicode_DATA(out.get())));
    return out;
}

template <Keep keep>
Ref shown_plainly(PyObject* text) {
    Ref once = by_kind(text, [&](const auto* s, Py_ssize_t n) { return stripped_when_plain<keep>(text, s, n); });
    return once ? once : escape_text<keep>(without_colours(text).get());
}

}  // namespace

bool plain_already(PyObject* text) {
    return PyUnicode_CheckExact(text) &&
           by_kind(text, [](const auto* s, Py_ssize_t n) { return next_candidate(s, 0, n) == n; });
}

Ref without_colours(PyObject* text) {
    if (PyUnicode_FindChar(text, 0x1b, 0, PyUnicode_GET_LENGTH(text), 1) == -1) return Ref::incref(text);
    return by_kind(text, [&](const auto* s, Py_ssize_t n) { return strip_colours(text, s, n); });
}

Py_ssize_t columns(PyObject* shown) {
    return by_kind(
        shown, [](const auto* s, Py_ssize_t n) { return walk_columns(s, n, [](Py_ssize_t, Py_UCS4, Py_ssize_t) {}); });
}

Ref cut_to_columns(PyObject* shown, Py_ssize_t max_columns) {
    Py_ssize_t cut = -1;
    Py_ssize_t column = 0;
    bool coloured = false;
    by_kind(shown, [&](const auto* s, Py_ssize_t n) {
        return walk_columns(s, n, [&](Py_ssize_t i, Py_UCS4, Py_ssize_t width) {
            if (cut < 0 && column + width > max_columns) cut = i;
            column += width;
        });
    });
    if (cut < 0) return Ref();
    coloured = PyUnicode_FindChar(shown, 0x1b, 0, cut, 1) != -1;
    Ref kept = rt::owned(PyUnicode_Substring(shown, 0, cut));
    return coloured ? rt::concat({kept.get(), name<"\x1b[0m">()}) : kept;
}

Ref tabs_expanded(PyObject* shown) {
    return by_kind(shown, [&](const auto* s, Py_ssize_t n) { return expand_tabs(shown, s, n); });
}

Ref shown_safely(PyObject* text, Keep keep) {
    switch (keep) {
        case Keep::colours_tabs_line_feeds: return escape_text<Keep::colours_tabs_line_feeds>(text);
        case Keep::colours_tabs: return escape_text<Keep::colours_tabs>(text);
        default: return escape_text<Keep::nothing>(text);
    }
}

Ref shown_without_colours(PyObject* text, Keep keep) {
    switch (keep) {
        case Keep::colours_tabs_line_feeds: return shown_plainly<Keep::colours_tabs_line_feeds>(text);
        case Keep::colours_tabs: return shown_plainly<Keep::colours_tabs>(text);
        default: return shown_plainly<Keep::nothing>(text);
    }
}

}  // namespace tlh
