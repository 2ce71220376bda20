#include "text/tokens.hpp"

namespace {

constexpr bool is_quote(char c) noexcept { return c == '"'; }

}  // namespace

const char* next_token(const char* p) noexcept
{
    // The common case first: a token that does not open a string literal runs
    // to the next white space (a quote inside it is a word character), and the
    // next token starts at the first word character after that.
    if (*p != '"') {
        while (is_word_char(*p)) ++p;
        while (*p != '\0' && !is_word_char(*p)) ++p;
        return *p == '\0' ? nullptr : p;
    }
    // The states of the forward step: see the comments at each transition.
    enum state { at_start, in_plain, in_string, after_plain, string_space, after_string,
                 string_words };
    state s = at_start;
    for (;; ++p) {
        const char c = *p;
        if (c == '\0') return nullptr;
        const bool quote = is_quote(c);
        const bool word = is_word_char(c);
        switch (s) {
        case at_start:
            s = quote ? in_string : word ? in_plain : after_plain;
            break;
        case in_plain:
            s = word ? in_plain : after_plain;
            break;
        case in_string:  // no white space met yet: a quote closes into a plain token
            s = quote ? in_plain : word ? in_string : string_space;
            break;
        case after_plain:
        case after_string:
            if (word) return p;
            break;
        case string_space:  // a quote right after white space closes the literal
            s = quote ? after_string : word ? string_words : string_space;
            break;
        case string_words:  // the closing quote ends the token with no white space
            s = quote ? after_plain : string_words;
            break;
        }
    }
}

const char* prev_token(const char* text, const char* p) noexcept
{
    if (p == text) return nullptr;
    const char* e = p - 1;
    while (!is_word_char(*e)) {
        if (e == text) return nullptr;
        --e;
    }
    if (is_quote(*e)) {
        // taken for the closing quote of a string literal
        while (e != text) {
            --e;
            if (is_quote(*e)) return e;
        }
        return nullptr;
    }
    while (e != text && is_word_char(e[-1])) --e;
    return e;
}

int word_compare(const char* a, const char* b) noexcept
{
    while (is_word_char(*a) && *a == *b) {
        ++a;
        ++b;
    }
    const bool a_word = is_word_char(*a);
    const bool b_word = is_word_char(*b);
    if (a_word && b_word) {
        const auto ca = static_cast<signed char>(*a);
        const auto cb = static_cast<signed char>(*b);
        return ca > cb ? -1 : 1;
    }
    if (a_word) return 1;   // only b has ended
    if (b_word) return -1;  // only a has ended
    return 0;
}
