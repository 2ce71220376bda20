#include "quokkavm.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

#include "nativeword.hpp"
#include "tiers.hpp"
#include "util.hpp"
#include "walker.hpp"

namespace {

// Process-wide caches in front of the two binary searches. A slot remembers the
// last word found there; a hit still compares the whole word.
std::array<const char*, 64> user_word_cache{};
std::array<std::optional<native_word>, 64> native_cache{};

}  // namespace

// ---------------------------------------------------------------------------
// Creation and destruction

forth_vm forth_vm_create(std::size_t cells, std::size_t frames, const char* text)
{
    forth_vm vm;
    grow_value_stack(vm, std::max<std::size_t>(cells, 1));
    // Frames are zeroed, and there is always one for "main" and the spare
    // ones past it; deeper calls add more.
    vm.locals.assign((std::max<std::size_t>(frames, 1) + spare_frames) * frame_stride, 0);
    vm.depth = 0;
    vm.text = text;
    vm.text_end = text + std::strlen(text);
    vm.current = text;
    vm.globals.fill(0);
    // Names cached from an earlier machine point into a text its owner may
    // have released; the native cache holds only constant entries.
    user_word_cache.fill(nullptr);
    create_word_suffix_array(vm);
    std::sort(native_table.begin(), native_table.end(), native_entry_compare);
    return vm;
}

const char* forth_vm_destroy(forth_vm& vm)
{
    const char* const text = vm.text;
    vm.stack = {};  // releases the cells
    vm.locals = {};
    vm.depth = 0;
    vm.text = vm.text_end = vm.current = empty_text;
    vm.globals.fill(0);
    vm.words = {};
    vm.returns = {};
    vm.tiers.reset();
    return text;
}

// ---------------------------------------------------------------------------
// User word index

namespace {

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

bool native_entry_compare(const native_word& a, const native_word& b)
{
    return word_compare(a.name, b.name) < 0;
}

native_handler find_native(std::span<const native_word> table, const char* key)
{
    std::optional<native_word>& slot = native_cache[word_hash(key)];
    if (slot && word_compare(slot->name, key) == 0) return slot->handler;
    const auto found = std::lower_bound(
        table.begin(), table.end(), key,
        [](const native_word& entry, const char* k) { return word_compare(entry.name, k) < 0; });
    if (found == table.end() || word_compare(found->name, key) != 0) return nullptr;
    slot = *found;
    return found->handler;
}

// ---------------------------------------------------------------------------
// Executor

#ifdef QKA_TOKEN_LIMIT
namespace {
std::uint64_t executed_tokens = 0;
}  // namespace

void count_executed_token()
{
    if (++executed_tokens > QKA_TOKEN_LIMIT) throw token_limit_reached{};
}

void count_executed_tokens(std::uint64_t n)
{
    executed_tokens += n;
    if (executed_tokens > QKA_TOKEN_LIMIT) throw token_limit_reached{};
}

void reset_token_limit() { executed_tokens = 0; }
#endif

namespace {

[[noreturn]] void undefined_word(const char* t)
{
    // 未定義ワード< (undefined word)
    std::fputs("\x96\xa2\x92\xe8\x8b\x60\x83\x8f\x81\x5b\x83\x68<", stdout);
    print_token(t);
    std::fputs(">\n", stdout);
    fail_report(sites::undefined_word);
    fail_exit(1);
}

}  // namespace

const char* perform_token(forth_vm& vm, const char* t)
{
    const cell token = token2string_word(vm, t);
    switch (token.tag) {
    case cell_tag::NUMBER:
    case cell_tag::STRING:
        word_push(vm, token.tag, token.value);
        return nullptr;
    case cell_tag::LABEL:
        return nullptr;
    case cell_tag::UNKNOWN:
        if (const native_handler handler = find_native(native_table, t)) {
            handler(vm);
            return nullptr;
        }
        if (const char* const name = find_user_word(vm, t)) return name;
        undefined_word(t);
    }
    return nullptr;
}

void prepare_call_depth(forth_vm& vm)
{
    if (vm.depth == max_depth) {
        fail_report(sites::nesting_too_deep);
        fail_exit(1);
    }
    const std::size_t needed = (std::size_t{vm.depth} + 2 + spare_frames) * frame_stride;
    constexpr std::size_t most = (std::size_t{max_depth} + 1 + spare_frames) * frame_stride;
    if (vm.locals.size() < needed) vm.locals.resize(std::min(std::max(needed, vm.locals.size() * 2), most), 0);
}

void enter_call_depth(forth_vm& vm)
{
    prepare_call_depth(vm);
    ++vm.depth;
}

void return_stack::grow()
{
    const std::size_t used = size();
    const std::size_t cells = std::max<std::size_t>(used * 2, 64);
    auto bigger = std::make_unique_for_overwrite<return_entry[]>(cells);
    std::copy(base, top, bigger.get());
    storage = std::move(bigger);
    base = storage.get();
    top = base + used;
    limit = base + cells;
}

void return_stack::push(const return_entry& entry)
{
    if (top == limit) grow();
    *top++ = entry;
}

void walk_text(forth_vm& vm)
{
    no_tiers none;
    walk_text(vm, none);
}

void forth_vm_exec(forth_vm& vm)
{
#ifdef QKA_REFERENCE_WALKER
    walk_text(vm);
#else
    run_tiered(vm);
#endif
}

int forth_vm_run_word(forth_vm& vm, const char* name)
{
    vm.depth = 0;
    const char* const found = find_user_word(vm, name);
    if (found == nullptr) return 0;
    vm.current = next_token(found);
    forth_vm_exec(vm);
    return 1;
}
