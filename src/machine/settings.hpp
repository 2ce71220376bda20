#pragma once
// settings: what a test program chooses at run time and the product never
// changes: how soon hot code is translated, whether machine code is made, a
// bound on executed steps, and a clock that stands still. One build of the
// interpreter serves every test program; a test program links
// tests/test_settings.cpp, which sets these from its environment.

#include <cstdint>

struct run_settings {
    std::uint32_t hot_threshold = 4;  // runs of a place before it is translated; 0: never
    bool machine_code = true;         // hot regions may be compiled to machine code
    std::uint64_t step_bound = 0;     // executed steps after which a run ends quietly; 0: none
    bool fixed_clock = false;         // the clock reads one fixed time
    bool show_machine_code = false;   // machine code is listed on the standard error stream as it is made
};

// Constant-initialised, so that it holds the defaults before any code runs.
inline constinit run_settings settings{};

// What a run did that a test program may report and the product never
// shows: how often machine code was entered.
struct run_counts {
    std::uint64_t machine_code_entries = 0;
};

inline constinit run_counts counts{};

// Thrown where a run has executed its bound of steps.
struct token_limit_reached {};

// Counts n executed steps against the bound (which is set: callers test that).
void count_bounded_steps(std::uint64_t n);

// Counts one executed step, where there is a bound.
inline void count_executed_token()
{
    if (settings.step_bound != 0) [[unlikely]] count_bounded_steps(1);
}

// Counts n executed steps at once, where there is a bound.
inline void count_executed_tokens(std::uint64_t n)
{
    if (settings.step_bound != 0) [[unlikely]] count_bounded_steps(n);
}

// Starts a new count of executed steps.
void reset_token_limit();
