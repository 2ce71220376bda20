#include "text/word_index.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>

#include "machine/reports.hpp"
#include "text/tokens.hpp"

namespace {

// A process-wide cache in front of the binary search. A slot remembers the
// last word found there; a hit still compares the whole word.
std::array<const char*, 64> user_word_cache{};

// Grows the index array by half (10, 15, 22, 33, …); when that much cannot be
// had, by one position; when not even that, leaves it full (the caller reports).
bool extend_sarray(std::vector<const char*>& words) noexcept
{
    const auto count = static_cast<std::uint32_t>(words.size());
    try {
        words.reserve(count * 3u / 2u);
        return true;
    } catch (const std::bad_alloc&) {
    }
    try {
        words.reserve(std::size_t{count} + 1);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The token at the start of the text, or the first one after leading white space.
const char* first_token(const char* text) noexcept
{
    return is_word_char(*text) ? text : next_token(text);
}

bool by_word(const char* a, const char* b) noexcept { return word_compare(a, b) < 0; }

}  // namespace

definition_scan scan_definitions(const char* text)
{
    definition_scan scan;
    scan.names.reserve(10);
    for (const char* p = first_token(text); p != nullptr; p = next_token(p)) {
        if (!is_single_char_token(p, ':')) continue;
        const char* const name = next_token(p);
        if (name == nullptr) {
            scan.nameless_colon = p;
            break;
        }
        if (scan.names.size() == scan.names.capacity() && !extend_sarray(scan.names)) {
            scan.index_full = true;
            break;
        }
        scan.names.push_back(name);
    }
    return scan;
}

std::vector<const char*> sorted_word_index(std::vector<const char*> names)
{
    std::sort(names.begin(), names.end(), by_word);
    return names;
}

void clear_user_word_cache() { user_word_cache.fill(nullptr); }

void create_word_suffix_array(forth_vm& vm)
{
    definition_scan scan = scan_definitions(vm.text);
    if (scan.nameless_colon != nullptr) fail_report(sites::missing_word_name);
    if (scan.index_full) fail_report(sites::index_cannot_grow);
    // the words found so far stay usable
    vm.words = sorted_word_index(std::move(scan.names));
}

unsigned word_hash(const char* key)
{
    auto h = static_cast<std::int16_t>(static_cast<signed char>(key[0]) * 32);
    if (is_word_char(key[1])) h = static_cast<std::int16_t>(h ^ static_cast<signed char>(key[1]));
    return static_cast<unsigned>(h) & 63u;
}

const char* lookup_user_word(std::span<const char* const> index, const char* key) noexcept
{
    const auto found = std::lower_bound(index.begin(), index.end(), key, by_word);
    if (found == index.end() || word_compare(*found, key) != 0) return nullptr;
    return *found;
}

const char* find_user_word(forth_vm& vm, const char* key)
{
    const char*& slot = user_word_cache[word_hash(key)];
    if (slot != nullptr && word_compare(slot, key) == 0) return slot;
    const char* const found = lookup_user_word(vm.words, key);
    if (found != nullptr) slot = found;
    return found;
}
