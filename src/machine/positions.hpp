#pragma once
// positions: text positions as cell values. Every text lives in one numbered
// space, the constant texts first, the script after them, so consecutive bytes
// of one text have consecutive numbers and arithmetic moves a position by bytes.

#include <cstdint>

#include "machine/machine.hpp"

// The constant texts: the empty text, the version text and the comment end.
inline constexpr char constant_texts[] = "\0" "0.16\"\0" "*/";
inline constexpr const char* empty_text = constant_texts;
inline constexpr const char* version_text = constant_texts + 1;
inline constexpr const char* comment_end = constant_texts + 7;
inline constexpr std::int32_t script_base = sizeof constant_texts;

// The largest script (in bytes) whose positions all fit the 32-bit value.
inline constexpr std::uint64_t max_script_size = 0x7fffffffu - script_base - 1;

// The number of a position in a constant text or in vm's script.
std::int32_t position_value(const forth_vm& vm, const char* p) noexcept;

// The position numbered value, or nullptr when it names no byte of any text.
const char* position_at(const forth_vm& vm, std::int32_t value) noexcept;
