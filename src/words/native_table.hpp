#pragma once
// native_table: the built-in words as the executor finds them by name — the
// table made from the word list, sorted by name when a machine is created,
// and the lookup behind its cache.

#include <array>
#include <span>

#include "words/word_list.hpp"

struct native_word {
    const char* name;  // a constant NUL-terminated text
    native_handler handler;
    word_id id;
};

// The built-in words in the list's order until a machine sorts them.
extern std::array<native_word, native_count> native_table;

// Sorts the table by name, as every machine does before its first lookup.
void sort_native_table();

// Orders two table entries by name; the order sorting and searching rely on.
bool native_entry_compare(const native_word& a, const native_word& b);

// The entry of the built-in word at key in table (sorted by name), or
// nullptr, behind a process-wide cache of 64 slots; the entry stays valid
// until the next lookup.
const native_word* find_native_word(std::span<const native_word> table, const char* key);

// The handler of the built-in word at key in table (sorted by name), or nullptr.
native_handler find_native(std::span<const native_word> table, const char* key);
