#pragma once
// script_file: reading a script file whole, as qka and the tools that read
// scripts the way it does all read them.

#include <cstdio>
#include <optional>
#include <string>

// The whole file as one text, read to the end of the stream (so pipes and
// process substitutions work too), or nothing when it cannot be read whole or
// is too large for every byte to have a position. Then, when reason is given,
// it says why, in the system's words where there are some.
std::optional<std::string> load_script(const char* path, std::string* reason = nullptr);

// The same for a stream already open (the standard input, say), which stays open.
std::optional<std::string> load_script(std::FILE* file, std::string* reason = nullptr);
