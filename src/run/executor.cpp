#include "run/executor.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "machine/positions.hpp"
#include "machine/reports.hpp"
#include "run/walker.hpp"
#include "text/classify.hpp"
#include "text/tokens.hpp"
#include "text/word_index.hpp"
#include "words/native_table.hpp"

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
    vm.globals->fill(0);
    clear_user_word_cache();
    create_word_suffix_array(vm);
    sort_native_table();
    return vm;
}

const char* forth_vm_destroy(forth_vm& vm)
{
    const char* const text = vm.text;
    vm.stack = {};  // releases the cells
    vm.locals = {};
    vm.depth = 0;
    vm.text = vm.text_end = vm.current = empty_text;
    if (vm.globals) vm.globals->fill(0);
    vm.words = {};
    vm.returns = {};
    vm.tiers.reset();
    return text;
}

// ---------------------------------------------------------------------------
// One token on the walker

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

void walk_text(forth_vm& vm)
{
    no_tiers none;
    walk_text(vm, none);
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
