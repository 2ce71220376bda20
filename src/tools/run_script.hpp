#pragma once
// run_script: qka-check --run, a run of a script exactly as qka makes it on
// the text walker, with every report the run makes told in the script's terms.

// Runs the script at path as qka runs it: the same standard output and the
// same exit status (a fatal report ends the process from within). In place of
// the interpreter's report text, each report goes to the standard error
// stream as FILE:LINE:COLUMN: error|warning: MESSAGE, the message in UTF-8,
// naming the token that made it, followed by the calls that led there,
// innermost first. Returns the status when the run comes back.
int run_script(const char* path);
