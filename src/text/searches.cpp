#include "text/searches.hpp"

#include "machine/positions.hpp"
#include "text/classify.hpp"
#include "text/tokens.hpp"

namespace {

// The label a reference names: the word at its second byte ('@@top' names '@top').
constexpr const char* label_of(const char* reference) noexcept { return reference + 1; }

constexpr bool is_valid_reference(const char* reference) noexcept { return reference[1] == '@'; }

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
