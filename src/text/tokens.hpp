#pragma once
// tokens: what a word character is, the steps from token to token in both
// directions over the raw text, and the comparison of two words.

#include <array>
#include <cstddef>

// Every byte but NUL and the white space of the C locale is a word
// character; bytes 0x80 to 0xFF are, so Shift-JIS text reads as words.
inline constexpr auto word_char_table = [] {
    std::array<bool, 256> table{};
    for (int b = 0; b < 256; ++b) table[static_cast<std::size_t>(b)] = b != 0 && b != ' ' && (b < '\t' || b > '\r');
    return table;
}();

constexpr bool is_word_char(char c) noexcept { return word_char_table[static_cast<unsigned char>(c)]; }

// The first byte of the token after the one at p (or the first token after
// white space at p); nullptr when the text ends first.
const char* next_token(const char* p) noexcept;

// The first byte of the token before p within the text starting at text, or
// nullptr. From inside a token it returns the start of that same token.
const char* prev_token(const char* text, const char* p) noexcept;

// Compares the words at a and b: 0 when equal. The order (signed bytes, the
// greater byte first, a proper prefix first) sorts both dictionaries.
int word_compare(const char* a, const char* b) noexcept;

// True when the token at p is exactly the one-byte word c (':' or ';').
constexpr bool is_single_char_token(const char* p, char c) noexcept
{
    return p[0] == c && !is_word_char(p[1]);
}

// True where a word ends: at the token ";" exactly, or where no token is left.
constexpr bool ends_word(const char* t) noexcept
{
    return t == nullptr || *t == '\0' || is_single_char_token(t, ';');
}
