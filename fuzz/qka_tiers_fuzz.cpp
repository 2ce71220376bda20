// Differential fuzz target: runs each input, as a script, through the text
// walker and through the tiered executor (which in this build translates
// every place the first time it runs), in one process, and stops on the
// first difference in what they write to the standard output, what they
// report, or how the run ends.

#include <cstddef>
#include <cstdint>
#include <string>

#include "tier_harness.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    init_tier_harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    compare_tiers(std::string(reinterpret_cast<const char*>(data), size), false);
    return 0;
}
