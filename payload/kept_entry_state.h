// Whether one entry of a kept tree is as the block has it.
#pragma once

#include "payload/entry_directories.h"
#include "payload/kept_entry_reader.h"

namespace onefile {

// `damaged`: missing or different (ENOENT, ENOTDIR or ELOOP on the way to
// it, another type, size, owner's execute bit or link text, or a name that
// would leave the tree); `failed`: the system refused a look, with *error
// set (EMFILE, ENFILE, ENOMEM, EACCES, EIO, ...), which says nothing about
// the tree.
enum class EntryState { same, damaged, failed };

// Looks at `entry` below the tree open at `top`, with the levels that
// `directories` holds.
EntryState examineKeptEntry(EntryDirectories& directories, int top, const TakenEntry& entry, int* error);

}  // namespace onefile
