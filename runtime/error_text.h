// The system's text for an error number, and the one-line report made of it.
#pragma once

namespace onefile {

// The system's text for an error number, as Linux users know it ("Input/output
// error"), whatever C library the launcher was built with. Async-signal-safe.
const char* describeError(int errorNumber);

// Writes "what: <system text for errorNumber>" as one line on standard error.
void reportSystemError(const char* what, int errorNumber);

}  // namespace onefile
