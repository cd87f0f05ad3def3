// The names a template's last level can produce, read back: the trees of
// other runs of the same template are found by their names, and the process
// id in a name tells whether the run that made it can still be alive.
#pragma once

namespace onefile {

// Whether `name`, one directory level, is a name the last level of
// `templateText` could have produced in some run of this launcher: the
// template's literal text and fixed values as they are, {RANDOM} as 11
// characters of base64url, {TIME_US} as six digits and {PID} as a decimal
// without leading zeros. Only a last level with both {PID} and {RANDOM},
// with literal text between {PID} and any placeholder beside it, and without
// other placeholders than those, {PRODUCT}, {COMPANY} and the version's
// (whose values hold no "/"), is read; any other gives false. On success *pid holds the process id of the
// name, at most `largestPid`.
bool readRunDirectoryName(const char* templateText, const char* name, long largestPid, long* pid);

}  // namespace onefile
