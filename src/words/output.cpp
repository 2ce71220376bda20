#include "words/output.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "machine/positions.hpp"
#include "machine/reports.hpp"
#include "machine/settings.hpp"
#include "text/tokens.hpp"

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

void write_output(const forth_vm& vm, output_kind kind, std::int32_t x)
{
    switch (kind) {
    case output_kind::number: return write_number(x);
    case output_kind::character: return write_char(x);
    case output_kind::spaces: return write_spaces(x);
    case output_kind::string: return write_string(vm, x);
    case output_kind::newline: return write_newline();
    }
}
