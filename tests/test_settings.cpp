// Linked into the test programs, never into the product: the run settings
// from the environment, so that one build of the interpreter serves every
// way the tests run it.
//   QKA_TEST_HOT_THRESHOLD  runs of a place before it is translated (0: never)
//   QKA_TEST_MACHINE_CODE   0: hot code stays on the IR tier
//   QKA_TEST_STEP_BOUND     executed steps after which a run ends with status 3
//   QKA_TEST_FIXED_CLOCK    1: the clock reads one fixed time
//   QKA_TEST_SHOW_MACHINE_CODE  1: machine code is listed on the standard error stream
//                           as it is made, for reading what the back end made
//   QKA_TEST_COUNTS         a file that gets the run's counts at exit
//                           ("machine_code_entries N"), whatever the output

#include <cstdio>
#include <cstdlib>

#include "machine/settings.hpp"

namespace {

bool read_setting(const char* name, unsigned long long& value)
{
    const char* const text = std::getenv(name);
    if (text == nullptr || *text == '\0') return false;
    value = std::strtoull(text, nullptr, 10);
    return true;
}

const char* counts_file = nullptr;

void write_counts()
{
    if (std::FILE* const file = std::fopen(counts_file, "w")) {
        std::fprintf(file, "machine_code_entries %llu\n",
                     static_cast<unsigned long long>(counts.machine_code_entries));
        std::fclose(file);
    }
}

const bool settings_read = [] {
    unsigned long long value = 0;
    if (read_setting("QKA_TEST_HOT_THRESHOLD", value)) settings.hot_threshold = static_cast<std::uint32_t>(value);
    if (read_setting("QKA_TEST_MACHINE_CODE", value)) settings.machine_code = value != 0;
    if (read_setting("QKA_TEST_STEP_BOUND", value)) settings.step_bound = value;
    if (read_setting("QKA_TEST_FIXED_CLOCK", value)) settings.fixed_clock = value != 0;
    if (read_setting("QKA_TEST_SHOW_MACHINE_CODE", value)) settings.show_machine_code = value != 0;
    counts_file = std::getenv("QKA_TEST_COUNTS");
    if (counts_file != nullptr && *counts_file != '\0') std::atexit(write_counts);
    return true;
}();

}  // namespace
