#include "machine/positions.hpp"

std::int32_t position_value(const forth_vm& vm, const char* p) noexcept
{
    if (p >= constant_texts && p < constant_texts + sizeof constant_texts)
        return static_cast<std::int32_t>(p - constant_texts);
    return script_base + static_cast<std::int32_t>(p - vm.text);
}

const char* position_at(const forth_vm& vm, std::int32_t value) noexcept
{
    if (value < 0) return nullptr;
    if (value < script_base) return constant_texts + value;
    const std::int64_t offset = std::int64_t{value} - script_base;
    if (vm.text == nullptr || offset > vm.text_end - vm.text) return nullptr;
    return vm.text + offset;
}
