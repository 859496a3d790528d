#include "screen_text.hpp"

#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tlh {
namespace {

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

// Whether s[i] must be written out; a colour sequence is passed over whole (i moves to its end).
template <class Char>
bool needs_escape(const Char* s, Py_ssize_t& i, Py_ssize_t n) {
    Py_UCS4 c = s[i];
    if (c == 0x1b) {  // the usual candidate: colours
        Py_ssize_t len = colour_sequence(s, i, n);
        i += len ? len - 1 : 0;
        return len == 0;
    }
    if (c >= 0x20 && c < 0x7f) return false;
    return !(c == '\t' || c == '\n' || c > 0x9f);
}

// Where the next character at or after i may need a look (below 0x20, or 0x7f to 0x9f): the
// rest is skipped a vector at a time.
template <class Char>
Py_ssize_t next_candidate(const Char* s, Py_ssize_t i, Py_ssize_t n) {
#ifdef __SSE2__
    if constexpr (sizeof(Char) <= 2) {
        constexpr Py_ssize_t lanes = 16 / sizeof(Char);
        auto below = [](__m128i v, int k) {  // lanes <= k, unsigned
            if constexpr (sizeof(Char) == 1) return _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(char(k))), _mm_setzero_si128());
            else return _mm_cmpeq_epi16(_mm_subs_epu16(v, _mm_set1_epi16(short(k))), _mm_setzero_si128());
        };
        auto minus = [](__m128i v, int k) {
            if constexpr (sizeof(Char) == 1) return _mm_sub_epi8(v, _mm_set1_epi8(char(k)));
            else return _mm_sub_epi16(v, _mm_set1_epi16(short(k)));
        };
        auto candidates = [&](Py_ssize_t at) {  // a bit per byte of the vector at s + at
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + at));
            return unsigned(_mm_movemask_epi8(_mm_or_si128(below(v, 0x1f), below(minus(v, 0x7f), 0x20))));
        };
        for (; i + lanes <= n; i += lanes)
            if (unsigned mask = candidates(i)) return i + __builtin_ctz(mask) / Py_ssize_t(sizeof(Char));
        if (i < n && n >= lanes) {  // the tail: the last whole vector, less what lies before i
            Py_ssize_t at = n - lanes;
            unsigned mask = candidates(at) >> ((i - at) * Py_ssize_t(sizeof(Char)));
            return mask ? i + __builtin_ctz(mask) / Py_ssize_t(sizeof(Char)) : n;
        }
    }
#endif
    for (; i < n; ++i) {
        Py_UCS4 c = s[i];
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) break;
    }
    return i;
}

template <class Char>
Ref escape(PyObject* line, const Char* s, Py_ssize_t n) {
    Py_ssize_t i = 0;
    for (; (i = next_candidate(s, i, n)) < n; ++i)
        if (needs_escape(s, i, n)) break;
    if (i == n) return Ref::incref(line);  // clean: no copy

    static const char hex[] = "0123456789abcdef";
    std::vector<Py_UCS4> out(s, s + i);
    out.reserve(size_t(n) + 16);
    for (; i < n; ++i) {
        Py_ssize_t at = i;
        if (!needs_escape(s, at, n)) {
            out.insert(out.end(), s + i, s + at + 1);
            i = at;
            continue;
        }
        Py_UCS4 c = s[i];
        out.insert(out.end(), {'\\', 'x', Py_UCS4(hex[c >> 4]), Py_UCS4(hex[c & 15])});
    }
    return rt::owned(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), Py_ssize_t(out.size())));
}

template <class Char>
Py_ssize_t visible(const Char* s, Py_ssize_t n) {
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (s[i] == 0x1b)
            if (Py_ssize_t len = colour_sequence(s, i, n)) {
                i += len - 1;
                continue;
            }
        ++count;
    }
    return count;
}

template <class Char>
Ref strip_colours(PyObject* text, const Char* s, Py_ssize_t n) {
    std::vector<Py_UCS4> out;
    out.reserve(size_t(n));
    bool stripped = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (s[i] == 0x1b)
            if (Py_ssize_t len = colour_sequence(s, i, n)) {
                i += len - 1;
                stripped = true;
                continue;
            }
        out.push_back(s[i]);
    }
    if (!stripped) return Ref::incref(text);
    return rt::owned(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), Py_ssize_t(out.size())));
}

}  // namespace

Ref without_colours(PyObject* text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_FindChar(text, 0x1b, 0, n, 1) == -1) return Ref::incref(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return strip_colours(text, PyUnicode_1BYTE_DATA(text), n);
        case PyUnicode_2BYTE_KIND: return strip_colours(text, PyUnicode_2BYTE_DATA(text), n);
        default: return strip_colours(text, PyUnicode_4BYTE_DATA(text), n);
    }
}

Py_ssize_t visible_length(PyObject* shown) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(shown);
    switch (PyUnicode_KIND(shown)) {
        case PyUnicode_1BYTE_KIND: return visible(PyUnicode_1BYTE_DATA(shown), n);
        case PyUnicode_2BYTE_KIND: return visible(PyUnicode_2BYTE_DATA(shown), n);
        default: return visible(PyUnicode_4BYTE_DATA(shown), n);
    }
}

Ref shown_safely(PyObject* line) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    switch (PyUnicode_KIND(line)) {
        case PyUnicode_1BYTE_KIND: return escape(line, PyUnicode_1BYTE_DATA(line), n);
        case PyUnicode_2BYTE_KIND: return escape(line, PyUnicode_2BYTE_DATA(line), n);
        default: return escape(line, PyUnicode_4BYTE_DATA(line), n);
    }
}

}  // namespace tlh
