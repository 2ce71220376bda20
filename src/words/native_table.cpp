#include "words/native_table.hpp"

#include <algorithm>
#include <optional>

#include "text/tokens.hpp"
#include "text/word_index.hpp"

constinit std::array<native_word, native_count> native_table{{
#define QKA_NATIVE_ROW(id, name, handler, ...) {name, handler, word_id::id},
    QKA_WORDS(QKA_NATIVE_ROW)
#undef QKA_NATIVE_ROW
}};

namespace {

// A slot remembers the last entry found there; a hit still compares the
// whole word. Entries are constant, so the cache outlives every machine. One
// cache per thread: the language server reads and checks scripts on several
// threads at once, and a slot written by one while another reads it could
// pair one word's name with another's handler.
thread_local std::array<std::optional<native_word>, 64> native_cache{};

}  // namespace

void sort_native_table() { std::sort(native_table.begin(), native_table.end(), native_entry_compare); }

bool native_entry_compare(const native_word& a, const native_word& b)
{
    return word_compare(a.name, b.name) < 0;
}

const native_word* find_native_word(std::span<const native_word> table, const char* key)
{
    std::optional<native_word>& slot = native_cache[word_hash(key)];
    if (slot && word_compare(slot->name, key) == 0) return &*slot;
    const auto found = std::lower_bound(
        table.begin(), table.end(), key,
        [](const native_word& entry, const char* k) { return word_compare(entry.name, k) < 0; });
    if (found == table.end() || word_compare(found->name, key) != 0) return nullptr;
    slot = *found;
    return &*slot;
}

native_handler find_native(std::span<const native_word> table, const char* key)
{
    const native_word* const entry = find_native_word(table, key);
    return entry != nullptr ? entry->handler : nullptr;
}
