#include "words/data_words.hpp"

#include <array>

#include "machine/positions.hpp"
#include "machine/reports.hpp"
#include "words/output.hpp"
#include "words/word_list.hpp"

std::int32_t evaluate_reporting(binary_operation op, std::int32_t a, std::int32_t b)
{
    if (b == 0 && divides(op)) {
        fail_report(op == binary_operation::div ? sites::div_by_zero : sites::mod_by_zero);
        return 0;  // the run goes on with 0
    }
    return evaluate(op, a, b);
}

namespace {

// ( x1 x2 -- x1 op x2 )  Both operands are popped first; the result takes
// the tag the list names.
template <word_id Id>
void binary_word(forth_vm& vm)
{
    constexpr word_info word = info(Id);
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    const cell_tag tag = word.tag == result_tag::second ? x2.tag : x1.tag;
    word_push(vm, tag, evaluate_reporting(word.translation.operation, x1.value, x2.value));
}

// Whole cells, tag and value together, rearranged as the list's pattern says.
template <word_id Id>
void shuffle_word(forth_vm& vm)
{
    constexpr word_info word = info(Id);
    std::array<cell, 3> popped{};
    for (int i = word.pops - 1; i >= 0; --i) popped[static_cast<std::size_t>(i)] = word_pop(vm);
    for (std::size_t k = 0; k < word.translation.pattern.count; ++k) {
        const cell& c = popped[word.translation.pattern.from[k]];
        word_push(vm, c.tag, c.value);
    }
}

// ( x -- f )  1 where x is 0; the tag of x.
void negation_word(forth_vm& vm)
{
    const cell x = word_pop(vm);
    word_push(vm, x.tag, negated_truth(x.value));
}

// ( x -- ) or ( -- ), writing as the list's output kind says.
template <word_id Id>
void output_word(forth_vm& vm)
{
    constexpr word_info word = info(Id);
    const std::int32_t x = word.pops > 0 ? word_pop(vm).value : 0;
    write_output(vm, word.translation.output, x);
}

}  // namespace

// ---------------------------------------------------------------------------
// Arithmetic: wraps; "/" truncates toward zero and "%" takes the sign of x1;
// a zero divisor is reported and gives 0, and the run goes on.

void nw_add(forth_vm& vm) { binary_word<word_id::add>(vm); }
void nw_sub(forth_vm& vm) { binary_word<word_id::sub>(vm); }
void nw_mul(forth_vm& vm) { binary_word<word_id::mul>(vm); }
void nw_div(forth_vm& vm) { binary_word<word_id::div>(vm); }
void nw_mod(forth_vm& vm) { binary_word<word_id::mod>(vm); }

// ---------------------------------------------------------------------------
// Stack words

void nw_dup(forth_vm& vm) { shuffle_word<word_id::dup>(vm); }
void nw_over(forth_vm& vm) { shuffle_word<word_id::over>(vm); }
void nw_swap(forth_vm& vm) { shuffle_word<word_id::swap>(vm); }
void nw_rot(forth_vm& vm) { shuffle_word<word_id::rot>(vm); }
void nw_drop(forth_vm& vm) { shuffle_word<word_id::drop>(vm); }

// ---------------------------------------------------------------------------
// Comparison and logic: truth values are 1 and 0; "and" and "or" are logical

void nw_zero_eq(forth_vm& vm) { negation_word(vm); }
void nw_not(forth_vm& vm) { negation_word(vm); }
void nw_eq(forth_vm& vm) { binary_word<word_id::eq>(vm); }
void nw_ne(forth_vm& vm) { binary_word<word_id::ne>(vm); }
void nw_lt(forth_vm& vm) { binary_word<word_id::lt>(vm); }
void nw_gt(forth_vm& vm) { binary_word<word_id::gt>(vm); }
void nw_and(forth_vm& vm) { binary_word<word_id::and_>(vm); }
void nw_or(forth_vm& vm) { binary_word<word_id::or_>(vm); }

// ---------------------------------------------------------------------------
// Output

void nw_print(forth_vm& vm) { output_word<word_id::print>(vm); }
void nw_newline(forth_vm& vm) { output_word<word_id::newline>(vm); }
void nw_print_chr(forth_vm& vm) { output_word<word_id::print_chr>(vm); }
void nw_spc(forth_vm& vm) { output_word<word_id::spc>(vm); }
// A value that names no byte of a text writes nothing; a long word is
// written whole.
void nw_print_str(forth_vm& vm) { output_word<word_id::print_str>(vm); }

// ---------------------------------------------------------------------------
// Version and weekday

// ( -- s )  The position of the version text.
void nw_version(forth_vm& vm) { word_push(vm, cell_tag::STRING, position_value(vm, version_text)); }

// ( y m d -- w )  The weekday, 0 for Sunday, with the tag of y.
void nw_wday(forth_vm& vm)
{
    const cell d = word_pop(vm);
    const cell m = word_pop(vm);
    const cell y = word_pop(vm);
    word_push(vm, y.tag, day_of_week(y.value, m.value, d.value));
}
