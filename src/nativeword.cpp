#include "nativeword.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "util.hpp"
// ---------------------------------------------------------------------------
// Arithmetic

// ( x1 x2 -- x1+x2 )  Wraps; the result keeps the tag of x2.
void nw_add(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x2.tag, wrap_add(x1.value, x2.value));
}

// ( x1 x2 -- x1-x2 )  Wraps; the result keeps the tag of x1.
void nw_sub(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x1.tag, wrap_sub(x1.value, x2.value));
}

// ( x1 x2 -- x1*x2 )  The low 32 bits of the product; the tag of x2.
void nw_mul(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x2.tag, wrap_mul(x1.value, x2.value));
}

std::int32_t checked_quotient(std::int32_t x1, std::int32_t x2)
{
    if (x2 == 0) {
        fail_report(sites::div_by_zero);
        return 0;  // the run goes on with 0
    }
    return truncated_quotient(x1, x2);
}

std::int32_t checked_remainder(std::int32_t x1, std::int32_t x2)
{
    if (x2 == 0) {
        fail_report(sites::mod_by_zero);
        return 0;  // the run goes on with 0
    }
    return truncated_remainder(x1, x2);
}

// ( x1 x2 -- x1/x2 )  Truncates toward zero; the tag of x1. A zero divisor is
// reported and gives 0, and the run goes on.
void nw_div(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x1.tag, checked_quotient(x1.value, x2.value));
}

// ( x1 x2 -- x1%x2 )  The sign of x1; the tag of x1. A zero divisor is
// reported and gives 0, and the run goes on.
void nw_mod(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x1.tag, checked_remainder(x1.value, x2.value));
}

// ---------------------------------------------------------------------------
// Stack words: whole cells move, tag and value together

// ( x -- x x )
void nw_dup(forth_vm& vm)
{
    const cell x = word_pop(vm);
    word_push(vm, x.tag, x.value);
    word_push(vm, x.tag, x.value);
}

// ( x1 x2 -- x1 x2 x1 )
void nw_over(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x1.tag, x1.value);
    word_push(vm, x2.tag, x2.value);
    word_push(vm, x1.tag, x1.value);
}

// ( x1 x2 -- x2 x1 )
void nw_swap(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x2.tag, x2.value);
    word_push(vm, x1.tag, x1.value);
}

// ( x1 x2 x3 -- x2 x3 x1 )
void nw_rot(forth_vm& vm)
{
    const cell x3 = word_pop(vm);
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x2.tag, x2.value);
    word_push(vm, x3.tag, x3.value);
    word_push(vm, x1.tag, x1.value);
}

// ( x -- )
void nw_drop(forth_vm& vm) { word_pop(vm); }

// ---------------------------------------------------------------------------
// Comparison and logic: truth values are 1 and 0

// ( x -- f )  f = 1 when x = 0; the tag of x.
void nw_zero_eq(forth_vm& vm)
{
    const cell x = word_pop(vm);
    word_push(vm, x.tag, truth(x.value == 0));
}

// ( x -- f )  The same result as "0=".
void nw_not(forth_vm& vm)
{
    const cell x = word_pop(vm);
    word_push(vm, x.tag, truth(x.value == 0));
}

// ( x1 x2 -- f )  The tag of x2.
void nw_eq(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x2.tag, truth(x1.value == x2.value));
}

// ( x1 x2 -- f )  The tag of x2.
void nw_ne(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x2.tag, truth(x1.value != x2.value));
}

// ( x1 x2 -- f )  Signed; the tag of x1.
void nw_lt(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x1.tag, truth(x1.value < x2.value));
}

// ( x1 x2 -- f )  Signed; the tag of x1.
void nw_gt(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x1.tag, truth(x1.value > x2.value));
}

// ( x1 x2 -- f )  Logical, not bitwise; the tag of x2.
void nw_and(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x2.tag, truth(x1.value != 0 && x2.value != 0));
}

// ( x1 x2 -- f )  Logical, not bitwise; the tag of x2.
void nw_or(forth_vm& vm)
{
    const cell x2 = word_pop(vm);
    const cell x1 = word_pop(vm);
    word_push(vm, x2.tag, truth(x1.value != 0 || x2.value != 0));
}

// ---------------------------------------------------------------------------
// Output

void write_number(std::int32_t x)
{
    std::printf("%d", x);
    check_output();
}

void write_newline()
{
    std::putchar('\n');
    check_output();
}

void write_char(std::int32_t x)
{
    std::putchar(static_cast<unsigned char>(x & 0xff));
    check_output();
}

void write_spaces(std::int32_t n)
{
    constexpr std::int32_t chunk = 4096;
    static const std::string spaces(chunk, ' ');
    for (std::int32_t left = n; left > 0; left -= chunk) {
        count_executed_token();  // a bounded run bounds a huge count too
        std::fwrite(spaces.data(), 1, static_cast<std::size_t>(std::min(left, chunk)), stdout);
        check_output();  // a huge count on a lost output stops at once
    }
}

void write_string(const forth_vm& vm, std::int32_t s)
{
    const char* const start = position_at(vm, s);
    if (start == nullptr) return;
    const char* end = start;
    while (is_word_char(*end) && *end != '"') ++end;
    std::fwrite(start, 1, static_cast<std::size_t>(end - start), stdout);
    check_output();
}

// ( x -- )  Signed decimal, no separator.
void nw_print(forth_vm& vm) { write_number(word_pop(vm).value); }

// ( -- )
void nw_newline(forth_vm&) { write_newline(); }

// ( x -- )  The low 8 bits as one byte.
void nw_print_chr(forth_vm& vm) { write_char(word_pop(vm).value); }

// ( n -- )  n spaces; none when n <= 0.
void nw_spc(forth_vm& vm) { write_spaces(word_pop(vm).value); }

// ( s -- )  Writes the word at text position s up to its first white space or
// double quote, however long. A value that names no byte of a text writes nothing.
void nw_print_str(forth_vm& vm)
{
    const cell s = word_pop(vm);
    write_string(vm, s.value);
}

// ---------------------------------------------------------------------------
// Version and weekday

// ( -- s )  The position of the version text.
void nw_version(forth_vm& vm) { word_push(vm, cell_tag::STRING, position_value(vm, version_text)); }

namespace {

// Per-month offsets of the weekday formula, January first.
constexpr std::array<signed char, 12> wday_table{0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};

}  // namespace

// ( y m d -- w )  The weekday, 0 for Sunday, with the tag of y. Nothing is
// validated; a month outside 1 to 12 adds 0.
void nw_wday(forth_vm& vm)
{
    const cell d = word_pop(vm);
    const cell m = word_pop(vm);
    const cell y = word_pop(vm);
    std::int32_t year = y.value;
    if (m.value <= 2) year = wrap_sub(year, 1);
    const std::int32_t month_offset =
        m.value >= 1 && m.value <= 12 ? wday_table[static_cast<std::size_t>(m.value - 1)] : 0;
    std::int32_t s = wrap_add(year, year / 4);
    s = wrap_sub(s, year / 100);
    s = wrap_add(s, year / 400);
    s = wrap_add(s, month_offset);
    s = wrap_add(s, d.value);
    word_push(vm, y.tag, s % 7);
}

// ---------------------------------------------------------------------------
// Variables

// ( i -- v )  The value of variable i, with the tag of the cell that held i.
void nw_get(forth_vm& vm)
{
    const cell i = word_pop(vm);
    word_push(vm, i.tag, get_variable(vm, i.value));
}

void set_variable(std::int32_t* frame, std::array<std::int32_t, 32>& globals, std::int32_t i, std::int32_t v)
{
    const auto index = static_cast<std::uint32_t>(i);
    if (index > 63) {
        fail_report(sites::variable_not_writable);
        fail_exit(1);
    }
    if (index < 32)
        frame[index] = v;
    else
        globals[index - 32] = v;
}

// ( v i -- )  Stores into a local (0 to 31) or a global (32 to 63); every
// other number, negative ones and the system variables included, ends the run.
void nw_set(forth_vm& vm)
{
    const cell i = word_pop(vm);
    const cell v = word_pop(vm);
    set_variable(&local_variable(vm, 0), vm.globals, i.value, v.value);
}

// ---------------------------------------------------------------------------
// Control flow. Jumps search the text token by token from the jumping word and
// leave the current position on the label token they find; the executor then
// steps past it.

namespace {

// The label a reference names: the word at its second byte ('@@top' names '@top').
constexpr const char* label_of(const char* reference) noexcept { return reference + 1; }

constexpr bool is_valid_reference(const char* reference) noexcept { return reference[1] == '@'; }

}  // namespace

namespace {

// The search shared by both directions: step moves one token on, forward or
// backward. Backward, the first step from the label inside the reference
// lands on the reference itself, which never equals its own label.
template <typename Step>
jump_outcome find_jump(const char* t, Step step) noexcept
{
    using kind = jump_outcome::kind;
    const char* const reference = next_token(t);
    if (reference == nullptr) return {kind::no_reference, false, nullptr};
    const bool bad = !is_valid_reference(reference);
    const char* const label = label_of(reference);
    if (opens_unterminated_string(label)) return {kind::unterminated_label, bad, nullptr};
    for (const char* p = step(label); p != nullptr; p = step(p))
        if (word_compare(label, p) == 0) return {kind::landed, bad, p};
    return {kind::not_found, bad, nullptr};
}

}  // namespace

jump_outcome find_jump_down(const char* t) noexcept
{
    return find_jump(t, [](const char* p) { return next_token(p); });
}

jump_outcome find_jump_up(const char* text, const char* t) noexcept
{
    return find_jump(t, [text](const char* p) { return prev_token(text, p); });
}

on_goto_outcome find_on_goto(const char* t, std::int32_t k, std::int32_t n) noexcept
{
    using kind = on_goto_outcome::kind;
    const char* chosen = nullptr;
    const char* p = t;
    for (std::int32_t step = 1; step <= n; ++step) {
        p = next_token(p);
        if (p == nullptr) return {kind::missing_reference, nullptr, false, nullptr};
        if (step == k) chosen = p;
    }
    const bool bad = !is_valid_reference(chosen);
    const char* const label = label_of(chosen);
    do {
        p = next_token(p);
        if (p == nullptr) return {kind::not_found, chosen, bad, nullptr};
    } while (word_compare(label, p) != 0);
    return {kind::landed, chosen, bad, p};
}

const char* find_comment_end(const char* t) noexcept
{
    for (const char* p = t; p != nullptr; p = next_token(p))
        if (word_compare(comment_end, p) == 0) return p;
    return nullptr;
}

namespace {

struct jump_reports {
    const report_site& no_reference;
    const report_site& bad_reference;
    const report_site& not_found;
};

// Makes the jump's reports and moves the current position as the outcome says.
void take_jump(forth_vm& vm, const jump_outcome& outcome, const jump_reports& reports)
{
    using kind = jump_outcome::kind;
    if (outcome.result == kind::no_reference) {
        fail_report(reports.no_reference);
        vm.current = nullptr;  // nothing to jump by: the running word ends
        return;
    }
    if (outcome.bad_reference) fail_report(reports.bad_reference);
    switch (outcome.result) {
    case kind::landed:
        vm.current = outcome.label_token;
        return;
    case kind::unterminated_label:
        fail_report(sites::unterminated_string);
        fail_exit(1);
    case kind::not_found:
    case kind::no_reference:
        fail_report(reports.not_found);
        fail_exit(1);
    }
}

}  // namespace

// ( -- )  Jumps to the nearest token after the reference that equals its label.
void nw_goto_down(forth_vm& vm)
{
    take_jump(vm, find_jump_down(vm.current),
              {sites::down_no_reference, sites::down_bad_reference, sites::down_label_not_found});
}

// ( -- )  Jumps to the nearest token before the reference that equals its label.
void nw_goto_up(forth_vm& vm)
{
    take_jump(vm, find_jump_up(vm.text, vm.current),
              {sites::up_no_reference, sites::up_bad_reference, sites::up_label_not_found});
}

// ( x -- )  Jumps forward when x is 0; otherwise passes over the reference.
void nw_if(forth_vm& vm)
{
    const cell x = word_pop(vm);
    if (x.value == 0)
        nw_goto_down(vm);
    else
        vm.current = next_token(vm.current);
}

// ( x -- )  Jumps backward when x is not 0; otherwise passes over the reference.
void nw_loop(forth_vm& vm)
{
    const cell x = word_pop(vm);
    if (x.value != 0)
        nw_goto_up(vm);
    else
        vm.current = next_token(vm.current);
}

// ( k n -- )  Jumps forward to the label of the k-th of the n references that
// follow, searching from after the last one.
void nw_on_goto(forth_vm& vm)
{
    const cell n = word_pop(vm);
    const cell k = word_pop(vm);
    if (k.value < 1 || k.value > n.value) {
        // 引数:%d\nジャンプ先個数:%d\n (argument, number of jump targets)
        std::printf("\x88\xf8\x90\x94:%d\n\x83\x57\x83\x83\x83\x93\x83\x76\x90\xe6\x8c\xc2\x90\x94:%d\n",
                    k.value, n.value);
        check_output();
        fail_report(sites::on_goto_out_of_range);
        return;  // the references then pass as label definitions
    }
    const on_goto_outcome outcome = find_on_goto(vm.current, k.value, n.value);
    if (outcome.result == on_goto_outcome::kind::missing_reference) {
        fail_report(sites::on_goto_missing_reference);
        vm.current = nullptr;  // no current position: the running word ends
        return;
    }
    if (outcome.bad_reference) fail_report(sites::on_goto_bad_reference);
    if (outcome.result == on_goto_outcome::kind::not_found) {
        fail_report(sites::on_goto_end_of_script);
        vm.current = nullptr;  // no current position: the running word ends
        return;
    }
    vm.current = outcome.label_token;
}

// ( -- )  Passes over the tokens up to the next "*/" token.
void nw_comment(forth_vm& vm)
{
    vm.current = find_comment_end(vm.current);
    if (vm.current == nullptr) {
        fail_report(sites::unterminated_comment);
        fail_exit(1);
    }
}

// ---------------------------------------------------------------------------
// The table, in its stored order

std::array<native_word, native_count> native_table{{
    {"+", nw_add},        {".", nw_print},      {"*", nw_mul},          {"/", nw_div},
    {"%", nw_mod},        {"dup", nw_dup},      {"-", nw_sub},          {"swap", nw_swap},
    {"over", nw_over},    {"rot", nw_rot},      {"drop", nw_drop},      {"\\n", nw_newline},
    {"chr.", nw_print_chr}, {"spc", nw_spc},    {"str.", nw_print_str}, {"loop", nw_loop},
    {"if", nw_if},        {"go_down", nw_goto_down}, {"go_up", nw_goto_up}, {"0=", nw_zero_eq},
    {"=", nw_eq},         {"<>", nw_ne},        {"<", nw_lt},           {">", nw_gt},
    {"not", nw_not},      {"and", nw_and},      {"or", nw_or},          {"/*", nw_comment},
    {"@", nw_get},        {"!", nw_set},        {"on_goto", nw_on_goto}, {"varsion", nw_version},
    {"wday", nw_wday},
}};
