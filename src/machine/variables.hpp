#pragma once
// variables: the numbered variables of the words "@" and "!": 0 to 31 the
// locals of the running word's frame, 32 to 63 the globals, 64 to 95 the
// read-only system variables (date, time and random numbers).

#include <array>
#include <cstdint>

#include "machine/machine.hpp"

// The value of variable i: a local, a global or a system variable. Ends the
// run for a number outside 0 to 95.
std::int32_t get_variable(const forth_vm& vm, std::int32_t i);

// The value of variable i, with locals from the frame that starts at frame.
std::int32_t read_variable(const std::int32_t* frame, const std::array<std::int32_t, 32>& globals, std::int32_t i);

// System variable k (0 to 31): date, time and random numbers; 0 for the rest.
std::int32_t system_variable(std::int32_t k);

// Starts the random numbers of "?r" again from seed, for tests that run one
// script twice and compare the runs.
void seed_random_numbers(unsigned seed);

// Stores v in variable i: local i of the frame that starts at frame, or a
// global; a number outside 0 to 63 ends the run with the report of "!".
void set_variable(std::int32_t* frame, std::array<std::int32_t, 32>& globals, std::int32_t i, std::int32_t v);
