#pragma once
// classify: what kind of token stands at a position (a number, a string
// literal, a label or a word to look up), and the printing of a token for the
// undefined-word message.

#include "machine/machine.hpp"

// Classifies the token at p: NUMBER, STRING (a position value), LABEL (the
// position after the '@') or UNKNOWN (a word to look up). An unterminated
// string literal ends the run.
cell token2string_word(const forth_vm& vm, const char* p);

// True when the token at p is a string literal that no later quote closes.
bool opens_unterminated_string(const char* p) noexcept;

// NUMBER with the value of the decimal literal at p (wrapping), or UNKNOWN.
cell parse_number(const char* p) noexcept;

// Writes the word at p to the standard output, escaping unprintable bytes.
void print_token(const char* p);
