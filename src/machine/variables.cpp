#include "machine/variables.hpp"

#include <array>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "machine/reports.hpp"
#include "machine/settings.hpp"

namespace {

// The platform's generator, seeded from the clock once per process on first
// use. Where the C library lets a program keep the generator's state itself,
// that state is this file's: the sequence is rand()'s for the same seed, and
// a read does not take the lock rand() takes on every call, three times per
// "?r".
#ifdef __GLIBC__
struct random_generator {
    random_data data{};
    std::array<char, 128> state{};  // the size of rand()'s own state

    random_generator() { seed(static_cast<unsigned>(std::time(nullptr))); }
    void seed(unsigned s) { initstate_r(s, state.data(), state.size(), &data); }

    std::uint32_t next()
    {
        std::int32_t r = 0;
        random_r(&data, &r);
        return static_cast<std::uint32_t>(r);
    }
};
#else
struct random_generator {
    random_generator() { seed(static_cast<unsigned>(std::time(nullptr))); }
    static void seed(unsigned s) { std::srand(s); }
    std::uint32_t next() { return static_cast<std::uint32_t>(std::rand()); }
};
#endif

random_generator& seeded_generator()
{
    static random_generator generator;
    return generator;
}

std::int32_t random_value(random_generator& generator)
{
    const std::uint32_t r1 = generator.next();
    const std::uint32_t r2 = generator.next();
    const auto r3 = static_cast<std::int32_t>(generator.next());
    return static_cast<std::int32_t>((r1 << 16) ^ r2 ^ static_cast<std::uint32_t>(r3 >> 8));
}

// The broken-down local time of the current second. The clock is read on
// every call; it is broken down only when the second has changed, as the
// zone's rules change only at a second's start and nothing in a run changes
// the zone.
const std::tm& local_now()
{
    // A test that runs a script twice in one process and compares the runs:
    // the clock must not tick between them.
    const std::time_t now = settings.fixed_clock ? std::time_t{1'700'000'000} : std::time(nullptr);
    static std::optional<std::time_t> broken_at;
    static std::tm broken{};
    if (broken_at != now) {
        localtime_r(&now, &broken);
        broken_at = now;
    }
    return broken;
}

}  // namespace

void seed_random_numbers(unsigned seed)
{
    seeded_generator().seed(seed);
}

std::int32_t system_variable(std::int32_t k)
{
    random_generator& generator = seeded_generator();
    switch (k) {
    case 'd' - 'a': return local_now().tm_mday;
    case 'h' - 'a': return local_now().tm_hour;
    case 'm' - 'a': return local_now().tm_min;
    case 'o' - 'a': return local_now().tm_mon + 1;
    case 'r' - 'a': return random_value(generator);
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
