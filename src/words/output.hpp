#pragma once
// output: what the printing words write, for the handlers and for translated
// and machine code alike. A lost standard output ends the run.

#include <cstdint>

#include "machine/machine.hpp"
#include "words/word_list.hpp"

void write_number(std::int32_t x);                      // signed decimal, no separator
void write_char(std::int32_t x);                        // the low 8 bits as one byte
void write_spaces(std::int32_t n);                      // none when n <= 0
void write_string(const forth_vm& vm, std::int32_t s);  // the word at text position s
void write_newline();

// Writes x as the output word of kind does (x is not read for a newline).
void write_output(const forth_vm& vm, output_kind kind, std::int32_t x);
