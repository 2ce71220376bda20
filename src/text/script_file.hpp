#pragma once
// script_file: reading a script file whole, as qka and the tools that read
// scripts the way it does all read them.

#include <optional>
#include <string>

// The whole file as one text, read to the end of the stream (so pipes and
// process substitutions work too), or nothing when it cannot be read whole or
// is too large for every byte to have a position.
std::optional<std::string> load_script(const char* path);
