#include "util.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// ---------------------------------------------------------------------------
// Failure reports

void fail_report(const report_site& site)
{
    // Whatever the script printed before the failure comes first when both
    // streams go to one terminal or file.
    std::fflush(stdout);
    std::fprintf(stderr, "[fail]\t%s:%d (%s();)\n\t%s\n", site.unit, site.line, site.function,
                 site.message);
}

void fail_exit(int status)
{
    std::fprintf(stderr, "Exit<%d>\n", status);
#ifdef QKA_FAIL_THROWS
    throw fatal_exit{status};
#else
    std::exit(status);
#endif
}

void check_output()
{
    if (std::ferror(stdout)) [[unlikely]] {
        fail_report(sites::output_lost);
        fail_exit(1);
    }
}

// ---------------------------------------------------------------------------
// Token steps and word comparison

namespace {

constexpr bool is_quote(char c) noexcept { return c == '"'; }

}  // namespace

const char* next_token(const char* p) noexcept
{
    // The common case first: a token that does not open a string literal runs
    // to the next white space (a quote inside it is a word character), and the
    // next token starts at the first word character after that.
    if (*p != '"') {
        while (is_word_char(*p)) ++p;
        while (*p != '\0' && !is_word_char(*p)) ++p;
        return *p == '\0' ? nullptr : p;
    }
    // The states of the forward step: see the comments at each transition.
    enum state { at_start, in_plain, in_string, after_plain, string_space, after_string,
                 string_words };
    state s = at_start;
    for (;; ++p) {
        const char c = *p;
        if (c == '\0') return nullptr;
        const bool quote = is_quote(c);
        const bool word = is_word_char(c);
        switch (s) {
        case at_start:
            s = quote ? in_string : word ? in_plain : after_plain;
            break;
        case in_plain:
            s = word ? in_plain : after_plain;
            break;
        case in_string:  // no white space met yet: a quote closes into a plain token
            s = quote ? in_plain : word ? in_string : string_space;
            break;
        case after_plain:
        case after_string:
            if (word) return p;
            break;
        case string_space:  // a quote right after white space closes the literal
            s = quote ? after_string : word ? string_words : string_space;
            break;
        case string_words:  // the closing quote ends the token with no white space
            s = quote ? after_plain : string_words;
            break;
        }
    }
}

const char* prev_token(const char* text, const char* p) noexcept
{
    if (p == text) return nullptr;
    const char* e = p - 1;
    while (!is_word_char(*e)) {
        if (e == text) return nullptr;
        --e;
    }
    if (is_quote(*e)) {
        // taken for the closing quote of a string literal
        while (e != text) {
            --e;
            if (is_quote(*e)) return e;
        }
        return nullptr;
    }
    while (e != text && is_word_char(e[-1])) --e;
    return e;
}

int word_compare(const char* a, const char* b) noexcept
{
    while (is_word_char(*a) && *a == *b) {
        ++a;
        ++b;
    }
    const bool a_word = is_word_char(*a);
    const bool b_word = is_word_char(*b);
    if (a_word && b_word) {
        const auto ca = static_cast<signed char>(*a);
        const auto cb = static_cast<signed char>(*b);
        return ca > cb ? -1 : 1;
    }
    if (a_word) return 1;   // only b has ended
    if (b_word) return -1;  // only a has ended
    return 0;
}

// ---------------------------------------------------------------------------
// Text positions

std::int32_t position_value(const forth_vm& vm, const char* p) noexcept
{
    if (p >= constant_texts && p < constant_texts + sizeof constant_texts)
        return static_cast<std::int32_t>(p - constant_texts);
    return script_base + static_cast<std::int32_t>(p - vm.text);
}

const char* position_at(const forth_vm& vm, std::int32_t value) noexcept
{
    if (value < 0) return nullptr;
    if (value < script_base) return constant_texts + value;
    const std::int64_t offset = std::int64_t{value} - script_base;
    if (vm.text == nullptr || offset > vm.text_end - vm.text) return nullptr;
    return vm.text + offset;
}

// ---------------------------------------------------------------------------
// Token classification and printing

namespace {

[[noreturn]] void unterminated_string()
{
    fail_report(sites::unterminated_string);
    fail_exit(1);
}

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_lower(char c) noexcept { return c >= 'a' && c <= 'z'; }
constexpr bool is_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }

constexpr cell unknown{cell_tag::UNKNOWN, 0};

}  // namespace

bool opens_unterminated_string(const char* p) noexcept
{
    return p[0] == '"' && std::strchr(p + 1, '"') == nullptr;
}

cell parse_number(const char* p) noexcept
{
    std::int32_t sign = 1;
    if (!is_digit(*p) && *p != '+' && *p != '-') return unknown;
    if (*p == '+' || *p == '-') {
        if (*p == '-') sign = -1;
        ++p;
        if (!is_word_char(*p)) return unknown;
    }
    // Accumulated unsigned: the literal wraps modulo 2^32 like the arithmetic.
    std::uint32_t acc = 0;
    for (; is_digit(*p); ++p)
        acc = acc * 10u + static_cast<std::uint32_t>((*p - '0') * sign);
    if (is_word_char(*p)) return unknown;
    return {cell_tag::NUMBER, static_cast<std::int32_t>(acc)};
}

cell token2string_word(const forth_vm& vm, const char* p)
{
    switch (*p) {
    case '@': {
        if (!is_word_char(p[1])) return unknown;  // the fetch word
        return {cell_tag::LABEL, position_value(vm, p + 1)};
    }
    case '"':
        if (opens_unterminated_string(p)) unterminated_string();
        if (p[1] == '"') return {cell_tag::STRING, position_value(vm, empty_text)};
        return {cell_tag::STRING, position_value(vm, p + 1)};
    case '$':
        if (is_lower(p[1])) return {cell_tag::NUMBER, p[1] - 'a'};
        if (is_upper(p[1])) return {cell_tag::NUMBER, p[1] - 'A' + 32};
        return unknown;
    case '?':
        if (is_lower(p[1])) return {cell_tag::NUMBER, p[1] - 'a' + 64};
        return unknown;
    default:
        return parse_number(p);
    }
}

void print_token(const char* p)
{
    if (p == nullptr) {
        std::fputs("[null pointer]", stdout);
        return;
    }
    while (!is_word_char(*p)) {
        if (*p == '\0') {
            std::fputs("[NULL]", stdout);
            return;
        }
        ++p;
    }
    for (; is_word_char(*p); ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        // Only the bytes of the C locale's printable class are shown as they are.
        if (byte < 0x80 && std::isprint(byte))
            std::putchar(byte);
        else
            std::printf("\\x%02x", byte);
    }
}

// ---------------------------------------------------------------------------
// Value stack

void grow_value_stack(forth_vm& vm, std::size_t cells)
{
    value_stack& stack = vm.stack;
    const std::size_t used = stack.size();
    auto storage = std::make_unique_for_overwrite<cell[]>(cells);
    std::copy(stack.base, stack.top, storage.get());
    stack.storage = std::move(storage);
    stack.base = stack.storage.get();
    stack.top = stack.base + used;
    stack.limit = stack.base + cells;
}

void word_push(forth_vm& vm, cell_tag tag, std::int32_t value)
{
    value_stack& stack = vm.stack;
    if (stack.top == stack.limit) [[unlikely]] {
        const std::size_t used = stack.size();
        if (used >= max_stack_cells) {
            fail_report(sites::stack_overflow);
            fail_exit(1);
        }
        grow_value_stack(vm, std::clamp<std::size_t>(used * 2, 16, max_stack_cells));
    }
    *stack.top++ = {tag, value};
}

cell word_pop(forth_vm& vm)
{
    value_stack& stack = vm.stack;
    if (stack.top == stack.base) [[unlikely]] {
        fail_report(sites::stack_underflow);
        fail_exit(1);
    }
    return *--stack.top;
}

// ---------------------------------------------------------------------------
// Variables

namespace {

// The generator is seeded from the clock once per process, on first use.
void seed_random_once()
{
    static const bool seeded = [] {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        return true;
    }();
    (void)seeded;
}

std::int32_t random_value()
{
    const auto r1 = static_cast<std::uint32_t>(std::rand());
    const auto r2 = static_cast<std::uint32_t>(std::rand());
    const std::int32_t r3 = std::rand();
    return static_cast<std::int32_t>((r1 << 16) ^ r2 ^ static_cast<std::uint32_t>(r3 >> 8));
}

std::tm local_now()
{
#ifdef QKA_FIXED_CLOCK
    // A test build that runs a script twice in one process and compares the
    // runs: the clock must not tick between them.
    const std::time_t now = 1'700'000'000;
#else
    const std::time_t now = std::time(nullptr);
#endif
    std::tm broken{};
    localtime_r(&now, &broken);
    return broken;
}

}  // namespace

std::int32_t system_variable(std::int32_t k)
{
    seed_random_once();
    switch (k) {
    case 'd' - 'a': return local_now().tm_mday;
    case 'h' - 'a': return local_now().tm_hour;
    case 'm' - 'a': return local_now().tm_min;
    case 'o' - 'a': return local_now().tm_mon + 1;
    case 'r' - 'a': return random_value();
    case 's' - 'a': return local_now().tm_sec;
    case 'y' - 'a': return local_now().tm_year + 1900;
    default: return 0;
    }
}

std::int32_t read_variable(const std::int32_t* frame, const std::array<std::int32_t, 32>& globals, std::int32_t i)
{
    if (i < 0) {
        fail_report(sites::variable_below_range);
        fail_exit(1);
    }
    if (i < 32) return frame[i];
    if (i < 64) return globals[static_cast<std::size_t>(i - 32)];
    if (i < 96) return system_variable(i - 64);
    fail_report(sites::variable_above_range);
    fail_exit(1);
}

std::int32_t get_variable(const forth_vm& vm, std::int32_t i)
{
    return read_variable(vm.locals.data() + std::size_t{vm.depth} * frame_stride, vm.globals, i);
}
