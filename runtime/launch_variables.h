// The environment variables a run sets for the child, without the heap.
#pragma once

#include <cstdint>

namespace onefile {

// Sets the environment variable `name` to `value`, as setenv does, without
// the heap: the text and, once the environment grows, the environment are
// kept in static storage.
void setLaunchVariable(const char* name, const char* value);

// Sets the environment variable `name` to the decimal text of value.
void setEnvironmentNumber(const char* name, std::int64_t value);

}  // namespace onefile
