#pragma once
// nativeword: the table of built-in words and one handler per word.

#include <array>
#include <cstddef>
#include <cstdint>

#include "quokkavm.hpp"

inline constexpr std::size_t native_count = 33;

// ---------------------------------------------------------------------------
// The integer rules of the data words, shared with the compiled executor.

// Sums, differences and products wrap modulo 2^32. Signed overflow is
// undefined, so the work is done unsigned and converted back (modular in C++20).
inline constexpr std::int32_t wrap_add(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

inline constexpr std::int32_t wrap_sub(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

inline constexpr std::int32_t wrap_mul(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// Truncates toward zero. INT32_MIN / -1 does not fit and traps on x86; its
// wrapped value is INT32_MIN. The caller has ruled out a zero divisor.
inline constexpr std::int32_t truncated_quotient(std::int32_t x1, std::int32_t x2) noexcept
{
    return x2 == -1 ? wrap_sub(0, x1) : x1 / x2;
}

// The remainder has the sign of the dividend; INT32_MIN % -1 is 0.
inline constexpr std::int32_t truncated_remainder(std::int32_t x1, std::int32_t x2) noexcept
{
    return x2 == -1 ? 0 : x1 % x2;
}

inline constexpr std::int32_t truth(bool b) noexcept { return b ? 1 : 0; }

// "/" and "%" on two values: a zero divisor is reported (not fatally) and gives 0.
std::int32_t checked_quotient(std::int32_t x1, std::int32_t x2);
std::int32_t checked_remainder(std::int32_t x1, std::int32_t x2);

// ---------------------------------------------------------------------------

// The built-in words in their stored order; each new machine sorts the table
// in place by name before the first lookup.
extern std::array<native_word, native_count> native_table;

// Every handler takes the machine and returns nothing; stack effects are
// given at the definitions.
void nw_add(forth_vm& vm);
void nw_print(forth_vm& vm);
void nw_mul(forth_vm& vm);
void nw_div(forth_vm& vm);
void nw_mod(forth_vm& vm);
void nw_dup(forth_vm& vm);
void nw_sub(forth_vm& vm);
void nw_swap(forth_vm& vm);
void nw_over(forth_vm& vm);
void nw_rot(forth_vm& vm);
void nw_drop(forth_vm& vm);
void nw_newline(forth_vm& vm);
void nw_print_chr(forth_vm& vm);
void nw_spc(forth_vm& vm);
void nw_print_str(forth_vm& vm);
void nw_loop(forth_vm& vm);
void nw_if(forth_vm& vm);
void nw_goto_down(forth_vm& vm);
void nw_goto_up(forth_vm& vm);
void nw_zero_eq(forth_vm& vm);
void nw_eq(forth_vm& vm);
void nw_ne(forth_vm& vm);
void nw_lt(forth_vm& vm);
void nw_gt(forth_vm& vm);
void nw_not(forth_vm& vm);
void nw_and(forth_vm& vm);
void nw_or(forth_vm& vm);
void nw_comment(forth_vm& vm);
void nw_get(forth_vm& vm);
void nw_set(forth_vm& vm);
void nw_on_goto(forth_vm& vm);
void nw_version(forth_vm& vm);
void nw_wday(forth_vm& vm);

// What the printing words write, shared with the translated tier; a lost
// standard output ends the run.
void write_number(std::int32_t x);
void write_char(std::int32_t x);         // the low 8 bits
void write_spaces(std::int32_t n);       // none when n <= 0
void write_string(const forth_vm& vm, std::int32_t s);  // the word at text position s
void write_newline();

// Stores v in variable i: local i of the frame that starts at frame, or a
// global; a number outside 0 to 63 ends the run with the report of "!".
void set_variable(std::int32_t* frame, std::array<std::int32_t, 32>& globals, std::int32_t i, std::int32_t v);

// Where a jump made by the jumping word at t ends. The text never changes, so
// this is a function of t alone, which the compiled executor works out once.
struct jump_outcome {
    enum class kind : std::uint8_t {
        landed,              // on label_token
        no_reference,        // the jumping word is the last token
        unterminated_label,  // the label opens a string that never closes
        not_found,           // the search ran off the text
    };
    kind result;
    bool bad_reference;       // the reference's second byte is not '@'
    const char* label_token;  // the token found, when landed
};

jump_outcome find_jump_down(const char* t) noexcept;
jump_outcome find_jump_up(const char* text, const char* t) noexcept;

// True when the jump makes no report on its way to the label.
constexpr bool is_clean(const jump_outcome& outcome) noexcept
{
    return outcome.result == jump_outcome::kind::landed && !outcome.bad_reference;
}

// Where "on_goto" at t lands for index k of count n (1 <= k <= n): the n
// references are stepped over, and the label of the k-th is searched from the
// token after the last one.
struct on_goto_outcome {
    enum class kind : std::uint8_t {
        landed,             // on label_token
        missing_reference,  // the text ends before n references
        not_found,          // the search ran off the text
    };
    kind result;
    const char* chosen;       // the k-th reference, unless missing
    bool bad_reference;       // the chosen reference's second byte is not '@'
    const char* label_token;  // the token found, when landed
};

on_goto_outcome find_on_goto(const char* t, std::int32_t k, std::int32_t n) noexcept;

// The "*/" token that ends the comment opened by the token at t, or nullptr.
const char* find_comment_end(const char* t) noexcept;
