#pragma once
// word_index: the user word index — every name that follows a ":" token,
// sorted — and the lookup of a word in it behind its cache.

#include <span>
#include <vector>

#include "machine/machine.hpp"

// What a walk over every token of a text finds about definitions: the name
// after each ':' marker in text order, and the ':' that ends the text with no
// name after it. It reports nothing, so tools can read a script as the index does.
struct definition_scan {
    std::vector<const char*> names;        // in text order; duplicates kept
    const char* nameless_colon = nullptr;  // the last token, a ':' without a name
    bool index_full = false;               // the names could not all be stored
};
definition_scan scan_definitions(const char* text);

// The names of scan sorted as the index keeps them, duplicates in the order
// in which lookups meet them.
std::vector<const char*> sorted_word_index(std::vector<const char*> names);

// Scans the whole text for ':' markers and stores the sorted index in vm.words.
void create_word_suffix_array(forth_vm& vm);

// The name in index (sorted by sorted_word_index) equal to the word at key,
// or nullptr; the search find_user_word makes behind its cache.
const char* lookup_user_word(std::span<const char* const> index, const char* key) noexcept;

// The cache slot, 0 to 63, of the word at key.
unsigned word_hash(const char* key);

// The name position of the user word at key, or nullptr, behind a
// process-wide cache of 64 slots.
const char* find_user_word(forth_vm& vm, const char* key);

// Empties the cache of find_user_word: names cached from an earlier machine
// point into a text its owner may have released.
void clear_user_word_cache();
