#pragma once
// data_words: the evaluation of a two-operand word with its one report, for
// the handlers and for translated and machine code, which meet a zero
// divisor only on their slow path.

#include <cstdint>

#include "words/operations.hpp"

// a op b; a zero divisor of "/" or "%" is reported (not fatally) and gives 0.
std::int32_t evaluate_reporting(binary_operation op, std::int32_t a, std::int32_t b);
