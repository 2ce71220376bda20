#include "text/classify.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "machine/positions.hpp"
#include "machine/reports.hpp"
#include "text/tokens.hpp"

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
