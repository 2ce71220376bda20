#include "machine/variables.hpp"

#include <cstdlib>
#include <ctime>

#include "machine/reports.hpp"
#include "machine/settings.hpp"

namespace {

// The generator is seeded from the clock once per process, on first use.
void seed_random_once()
{
    static const bool seeded = [] {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        return true;
    }();
    (void)seeded;
}

std::int32_t random_value()
{
    const auto r1 = static_cast<std::uint32_t>(std::rand());
    const auto r2 = static_cast<std::uint32_t>(std::rand());
    const std::int32_t r3 = std::rand();
    return static_cast<std::int32_t>((r1 << 16) ^ r2 ^ static_cast<std::uint32_t>(r3 >> 8));
}

std::tm local_now()
{
    // A test that runs a script twice in one process and compares the runs:
    // the clock must not tick between them.
    const std::time_t now = settings.fixed_clock ? std::time_t{1'700'000'000} : std::time(nullptr);
    std::tm broken{};
    localtime_r(&now, &broken);
    return broken;
}

}  // namespace

std::int32_t system_variable(std::int32_t k)
{
    seed_random_once();
    switch (k) {
    case 'd' - 'a': return local_now().tm_mday;
    case 'h' - 'a': return local_now().tm_hour;
    case 'm' - 'a': return local_now().tm_min;
    case 'o' - 'a': return local_now().tm_mon + 1;
    case 'r' - 'a': return random_value();
    case 's' - 'a': return local_now().tm_sec;
    case 'y' - 'a': return local_now().tm_year + 1900;
    default: return 0;
    }
}

std::int32_t read_variable(const std::int32_t* frame, const std::array<std::int32_t, 32>& globals, std::int32_t i)
{
    if (i < 0) {
        fail_report(sites::variable_below_range);
        fail_exit(1);
    }
    if (i < 32) return frame[i];
    if (i < 64) return globals[static_cast<std::size_t>(i - 32)];
    if (i < 96) return system_variable(i - 64);
    fail_report(sites::variable_above_range);
    fail_exit(1);
}

std::int32_t get_variable(const forth_vm& vm, std::int32_t i)
{
    return read_variable(vm.locals.data() + std::size_t{vm.depth} * frame_stride, *vm.globals, i);
}

void set_variable(std::int32_t* frame, std::array<std::int32_t, 32>& globals, std::int32_t i, std::int32_t v)
{
    const auto index = static_cast<std::uint32_t>(i);
    if (index > 63) {
        fail_report(sites::variable_not_writable);
        fail_exit(1);
    }
    if (index < 32)
        frame[index] = v;
    else
        globals[index - 32] = v;
}
