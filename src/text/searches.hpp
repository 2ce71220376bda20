#pragma once
// searches: where the label searches of the jumping words and the comment
// word end. The text never changes, so each is a function of the jumping
// token (and for "on_goto" of its index and count) alone: the translated
// tier works each out once, and the checker and the server use the same.

#include <cstdint>

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
