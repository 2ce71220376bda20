#include "machine/settings.hpp"

namespace {

std::uint64_t executed_steps = 0;

}  // namespace

void count_bounded_steps(std::uint64_t n)
{
    executed_steps += n;
    if (executed_steps > settings.step_bound) throw token_limit_reached{};
}

void reset_token_limit() { executed_steps = 0; }
