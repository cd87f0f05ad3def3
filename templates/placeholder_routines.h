// The placeholder routines behind the names of the placeholder table. Each
// adds its value to the shared output through appendPlaceholderValue or a
// nested expansion and returns false for a failure the scan passes on.
#pragma once

#include "templates/expand_template.h"

namespace onefile {

// {TEMP}: TMPDIR when set, even when empty, else "/tmp"; trailing-slash rule.
bool insertTemporaryDirectory(TemplateOutput& output);

// {PID}: TAVMIR_ONEFILE_PARENT when set (decimal digits only, else the
// launcher stops), else the process id.
bool insertProcessId(TemplateOutput& output);

// {TIME_US}: TAVMIR_ONEFILE_TIME_US when set, else the microseconds of the
// time of day as six digits, remembered in that variable.
bool insertTimeMicroseconds(TemplateOutput& output);

// {RANDOM}: TAVMIR_ONEFILE_RANDOM when set, else a fresh random token,
// remembered in that variable.
bool insertRandomToken(TemplateOutput& output);

// {PROGRAM}: the launcher's own executable path.
bool insertProgramPath(TemplateOutput& output);

// {PROGRAM_BASE}: the program path less a final ".bin" in any letter case.
bool insertProgramBase(TemplateOutput& output);

// {PROGRAM_DIR}: the directory that holds the launcher's executable file.
bool insertProgramDirectory(TemplateOutput& output);

// {HOME}: HOME when set, even when empty, else the password-database home of
// the real user id; false when neither exists. Trailing-slash rule.
bool insertHomeDirectory(TemplateOutput& output);
bool insertUserId(TemplateOutput& output);

// {CACHE_DIR}: XDG_CACHE_HOME when it is an absolute path, else
// "{HOME}/.cache". Trailing-slash rule.
bool insertCacheDirectory(TemplateOutput& output);

// {COMPANY}, {PRODUCT}: the launcher's product name.
bool insertProductName(TemplateOutput& output);

// {VERSION}, {FILE_VERSION}, {PRODUCT_VERSION}: the launcher's version string.
bool insertVersionString(TemplateOutput& output);

// {TIME}: TAVMIR_ONEFILE_START when set, else the time of day as
// "seconds_microseconds", remembered in that variable.
bool insertStartTime(TemplateOutput& output);

}  // namespace onefile
