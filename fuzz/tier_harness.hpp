#pragma once
// tier_harness: the comparison that the differential fuzz targets make. A
// script runs through the text walker and through the tiered executor in one
// process, and the first difference in what they write to the standard
// output, what they report, or how the run ends aborts the process. Fatal
// reports and the bound on executed steps end a run by exceptions in the
// builds these targets link.

#include <string>

// Puts the standard streams into memory and keeps a descriptor of the
// process's own standard error for the findings; call from
// LLVMFuzzerInitialize, before libFuzzer closes anything.
void init_tier_harness();

// Runs text through both executors and aborts on the first difference,
// after writing what differed (and, with show_script, the script).
void compare_tiers(const std::string& text, bool show_script);
