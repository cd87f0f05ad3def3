// The variables a run adds to the environment, kept in static storage: the
// texts in a pool, and the environment itself, once it must grow, in a fixed
// array. The C library's setenv takes its memory from the heap, and the heap's
// first use costs a start-up several system calls and page faults. Only an
// environment or a text larger than this storage falls back to setenv.
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "runtime/launch_variables.h"

namespace onefile {

namespace {

// Variables of the environment this storage can hold, its end included:
// far more than environments have.
constexpr std::size_t kEnvironmentSlots = 1024;
// Room for the texts of one run's variables: the launcher's arguments[0]
// (at most 128 KiB, the kernel's limit for one argument), its directory and
// a few short values, each set a few times at most.
constexpr std::size_t kTextPoolBytes = (128u << 10) + (16u << 10);

char* environmentSlots[kEnvironmentSlots];
char textPool[kTextPoolBytes];
std::size_t textPoolUsed;

// "name=value" in the pool; null when it does not fit.
char* poolText(const char* name, std::size_t nameLength, const char* value) {
    const std::size_t valueLength = strlen(value);
    const std::size_t bytes = nameLength + 1 + valueLength + 1;
    if (bytes > kTextPoolBytes - textPoolUsed) return nullptr;
    char* text = textPool + textPoolUsed;
    memcpy(text, name, nameLength);
    text[nameLength] = '=';
    memcpy(text + nameLength + 1, value, valueLength + 1);
    textPoolUsed += bytes;
    return text;
}

// Makes the fixed array the environment, a copy of the current one; false
// when it does not fit with one more variable.
bool moveEnvironmentToSlots(std::size_t count) {
    if (count + 2 > kEnvironmentSlots) return false;
    if (environ != nullptr) memcpy(environmentSlots, environ, count * sizeof(char*));
    environmentSlots[count] = nullptr;
    environ = environmentSlots;
    return true;
}

}  // namespace

void setLaunchVariable(const char* name, const char* value) {
    const std::size_t nameLength = strlen(name);
    char* text = poolText(name, nameLength, value);
    if (text == nullptr) {
        (void)setenv(name, value, 1);
        return;
    }
    // The first variable of that name takes the new text, as with setenv;
    // a new name goes at the end.
    std::size_t count = 0;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry, ++count) {
        if (strncmp(*entry, name, nameLength) == 0 && (*entry)[nameLength] == '=') {
            *entry = text;
            return;
        }
    }
    const bool room = environ == environmentSlots ? count + 2 <= kEnvironmentSlots : moveEnvironmentToSlots(count);
    if (!room) {
        (void)setenv(name, value, 1);
        return;
    }
    environmentSlots[count] = text;
    environmentSlots[count + 1] = nullptr;
}

}  // namespace onefile
