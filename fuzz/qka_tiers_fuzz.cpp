// Differential fuzz target: runs each input, as a script, through the text
// walker and through the tiered executor (which here translates every
// place the first time it runs), in one process, and stops on the
// first difference in what they write to the standard output, what they
// report, or how the run ends.

#include <cstddef>
#include <cstdint>
#include <string>

#include "machine/settings.hpp"
#include "tier_harness.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Everything is translated the first time it runs, and the clock
    // stands still between the two runs of a script.
    settings.hot_threshold = 1;
    settings.step_bound = 50'000;
    settings.fixed_clock = true;
    init_tier_harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    compare_tiers(std::string(reinterpret_cast<const char*>(data), size), false);
    return 0;
}
