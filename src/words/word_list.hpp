#pragma once
// word_list: the built-in words, in one list. The native table, the handlers'
// declarations, the stack effects the checker and the language server use,
// the hover texts and the translator's mapping are all made from it.

#include <array>
#include <cstddef>
#include <cstdint>

#include "machine/machine.hpp"
#include "words/operations.hpp"

// Which cell's tag the result takes: first is the deepest operand (x1),
// second the one above it (x2); moved: the word moves whole cells; string:
// a STRING cell; none: the word leaves no cell.
enum class result_tag : std::uint8_t { first, second, moved, string, none };

// What an output word writes.
enum class output_kind : std::uint8_t { number, character, spaces, string, newline };

// How the translator takes a word.
enum class translation_kind : std::uint8_t {
    binary,           // an expression of a two-operand operation
    negation,         // "1 where x is 0"
    shuffle,          // a rearrangement of the cells it pops
    output,           // an output instruction
    version,          // a constant STRING cell
    fetch,            // a variable read
    store,            // a variable write
    jump_if_zero,     // "if": a branch forward
    loop_if_nonzero,  // "loop": a branch backward
    jump_down,        // "go_down"
    jump_up,          // "go_up"
    computed_jump,    // "on_goto"
    comment,          // passed over up to its "*/"
    handler,          // its handler, run on real cells
};

// The cells a shuffle leaves, bottom first, each named by the place of the
// popped cell it copies (0: the deepest popped).
struct shuffle_pattern {
    std::uint8_t count = 0;
    std::array<std::uint8_t, 3> from{};
};

struct word_translation {
    translation_kind kind;
    binary_operation operation = binary_operation::add;  // for binary
    output_kind output = output_kind::number;             // for output
    shuffle_pattern pattern{};                            // for shuffle
};

constexpr word_translation binary(binary_operation op) noexcept { return {translation_kind::binary, op}; }
constexpr word_translation output(output_kind kind) noexcept
{
    return {.kind = translation_kind::output, .output = kind};
}
template <typename... From>
constexpr word_translation shuffle(From... from) noexcept
{
    return {.kind = translation_kind::shuffle,
            .pattern = {static_cast<std::uint8_t>(sizeof...(from)), {static_cast<std::uint8_t>(from)...}}};
}
constexpr word_translation plain(translation_kind kind) noexcept { return {kind}; }

// X(id, name, handler, pops, pushes, result tag, translation, stack effect, summary)
// in the table's stored order; pops are taken first, and a missing one ends
// the run before the word has any effect.
#define QKA_WORDS(X)                                                                                          \
    X(add, "+", nw_add, 2, 1, second, binary(binary_operation::add), "( x1 x2 -- x1+x2 )",                   \
      "Sum, wrapping around at 32 bits.")                                                                     \
    X(print, ".", nw_print, 1, 0, none, output(output_kind::number), "( x -- )",                              \
      "Writes x in decimal, with no space or line end.")                                                      \
    X(mul, "*", nw_mul, 2, 1, second, binary(binary_operation::mul), "( x1 x2 -- x1*x2 )",                   \
      "Product, wrapping around at 32 bits.")                                                                 \
    X(div, "/", nw_div, 2, 1, first, binary(binary_operation::div), "( x1 x2 -- x1/x2 )",                    \
      "Quotient truncated toward zero; division by zero warns and gives 0.")                                  \
    X(mod, "%", nw_mod, 2, 1, first, binary(binary_operation::mod), "( x1 x2 -- x1%x2 )",                    \
      "Remainder with the sign of x1; division by zero warns and gives 0.")                                   \
    X(dup, "dup", nw_dup, 1, 2, moved, shuffle(0, 0), "( x -- x x )", "Copies the top value.")              \
    X(sub, "-", nw_sub, 2, 1, first, binary(binary_operation::sub), "( x1 x2 -- x1-x2 )",                    \
      "Difference, wrapping around at 32 bits.")                                                              \
    X(swap, "swap", nw_swap, 2, 2, moved, shuffle(1, 0), "( x1 x2 -- x2 x1 )", "Exchanges the top two values.") \
    X(over, "over", nw_over, 2, 3, moved, shuffle(0, 1, 0), "( x1 x2 -- x1 x2 x1 )",                        \
      "Copies the second value onto the top.")                                                                \
    X(rot, "rot", nw_rot, 3, 3, moved, shuffle(1, 2, 0), "( x1 x2 x3 -- x2 x3 x1 )",                        \
      "Brings the third value to the top.")                                                                   \
    X(drop, "drop", nw_drop, 1, 0, moved, shuffle(), "( x -- )", "Discards the top value.")                   \
    X(newline, "\\n", nw_newline, 0, 0, none, output(output_kind::newline), "( -- )", "Writes a line end.")   \
    X(print_chr, "chr.", nw_print_chr, 1, 0, none, output(output_kind::character), "( x -- )",                \
      "Writes the byte x mod 256.")                                                                           \
    X(spc, "spc", nw_spc, 1, 0, none, output(output_kind::spaces), "( n -- )",                                \
      "Writes n spaces; none when n <= 0.")                                                                   \
    X(print_str, "str.", nw_print_str, 1, 0, none, output(output_kind::string), "( s -- )",                   \
      "Writes the text at position s up to white space or a double quote.")                                   \
    X(loop, "loop", nw_loop, 1, 0, none, plain(translation_kind::loop_if_nonzero), "( x -- )",                \
      "Jumps back to the nearest matching label before its reference when x is not 0.")                       \
    X(if_, "if", nw_if, 1, 0, none, plain(translation_kind::jump_if_zero), "( x -- )",                        \
      "Jumps forward to the nearest matching label after its reference when x is 0.")                         \
    X(go_down, "go_down", nw_goto_down, 0, 0, none, plain(translation_kind::jump_down), "( -- )",             \
      "Jumps forward to the nearest matching label after its reference.")                                     \
    X(go_up, "go_up", nw_goto_up, 0, 0, none, plain(translation_kind::jump_up), "( -- )",                     \
      "Jumps back to the nearest matching label before its reference.")                                       \
    X(zero_eq, "0=", nw_zero_eq, 1, 1, first, plain(translation_kind::negation), "( x -- f )",                \
      "1 when x is 0, else 0.")                                                                               \
    X(eq, "=", nw_eq, 2, 1, second, binary(binary_operation::eq), "( x1 x2 -- f )", "1 when x1 = x2, else 0.") \
    X(ne, "<>", nw_ne, 2, 1, second, binary(binary_operation::ne), "( x1 x2 -- f )",                         \
      "1 when x1 differs from x2, else 0.")                                                                   \
    X(lt, "<", nw_lt, 2, 1, first, binary(binary_operation::lt), "( x1 x2 -- f )",                           \
      "1 when x1 < x2 (signed), else 0.")                                                                     \
    X(gt, ">", nw_gt, 2, 1, first, binary(binary_operation::gt), "( x1 x2 -- f )",                           \
      "1 when x1 > x2 (signed), else 0.")                                                                     \
    X(not_, "not", nw_not, 1, 1, first, plain(translation_kind::negation), "( x -- f )",                      \
      "1 when x is 0, else 0.")                                                                               \
    X(and_, "and", nw_and, 2, 1, second, binary(binary_operation::logical_and), "( x1 x2 -- f )",            \
      "1 when both are non-zero (logical, not bitwise).")                                                     \
    X(or_, "or", nw_or, 2, 1, second, binary(binary_operation::logical_or), "( x1 x2 -- f )",                \
      "1 when either is non-zero (logical, not bitwise).")                                                    \
    X(comment, "/*", nw_comment, 0, 0, none, plain(translation_kind::comment), "( -- )",                      \
      "Skips to the next */ token.")                                                                          \
    X(get, "@", nw_get, 1, 1, first, plain(translation_kind::fetch), "( i -- v )",                            \
      "Fetches variable i: 0-31 locals, 32-63 globals, 64-95 system.")                                        \
    X(set, "!", nw_set, 2, 0, none, plain(translation_kind::store), "( v i -- )",                             \
      "Stores v into variable i (0-31 locals, 32-63 globals).")                                               \
    X(on_goto, "on_goto", nw_on_goto, 2, 0, none, plain(translation_kind::computed_jump), "( k n -- )",       \
      "Jumps forward to the label of the k-th of the n references that follow.")                              \
    X(version, "varsion", nw_version, 0, 1, string, plain(translation_kind::version), "( -- s )",             \
      "The position of the version text 0.16.")                                                               \
    X(wday, "wday", nw_wday, 3, 1, first, plain(translation_kind::handler), "( y m d -- w )",                 \
      "Day of the week, 0 for Sunday to 6 for Saturday.")

enum class word_id : std::uint8_t {
#define QKA_WORD_ENUM(id, ...) id,
    QKA_WORDS(QKA_WORD_ENUM)
#undef QKA_WORD_ENUM
};

// Every handler takes the machine and returns nothing; the stack effect is
// the row's.
#define QKA_WORD_HANDLER(id, name, handler, ...) void handler(forth_vm& vm);
QKA_WORDS(QKA_WORD_HANDLER)
#undef QKA_WORD_HANDLER

using native_handler = void (*)(forth_vm&);

struct word_info {
    word_id id;
    const char* name;  // a constant NUL-terminated text
    native_handler handler;
    int pops;
    int pushes;
    result_tag tag;
    word_translation translation;
    const char* effect;   // the stack effect, as written in the guide
    const char* summary;  // one line, for hover and the manual
};

inline constexpr std::array word_infos{
#define QKA_WORD_INFO(id, name, handler, pops, pushes, tag, translation, effect, summary) \
    word_info{word_id::id, name, handler, pops, pushes, result_tag::tag, translation, effect, summary},
    QKA_WORDS(QKA_WORD_INFO)
#undef QKA_WORD_INFO
};

inline constexpr std::size_t native_count = word_infos.size();
static_assert(native_count == 33);

constexpr const word_info& info(word_id id) noexcept { return word_infos[static_cast<std::size_t>(id)]; }
