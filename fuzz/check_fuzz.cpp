// Fuzz target for the tools' reading of a script: the checker's findings and
// what the language server asks of a text (its jumps and comments). None of
// it may crash, hang or read outside the text, whatever the bytes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const program prog = read_program(text.c_str());
    for (const finding& f : check_program(prog)) (void)locate(prog, f.where);
    for (const jump& j : all_jumps(prog))
        if (j.reference != nullptr) (void)jump_of_reference(prog, j.reference);
    (void)comment_spans(prog);
    return 0;
}
