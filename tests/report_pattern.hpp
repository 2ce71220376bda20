#pragma once
// A death-test pattern for one exact report and the exit line after it.

#include <string>
#include <string_view>

// Matches exactly the given report followed by the exit line. Shift-JIS
// bytes such as 0x5b ('[') are regular-expression characters, so every
// special byte is escaped.
inline std::string fatal_report_pattern(std::string_view report)
{
    std::string pattern = "^";
    for (const char c : report) {
        if (std::string_view{".[]{}()\\*+?^$|"}.find(c) != std::string_view::npos) pattern += '\\';
        pattern += c;
    }
    return pattern + "Exit<1>\n$";
}
