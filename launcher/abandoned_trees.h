// Reclaiming the extraction directories of fresh runs that died without
// removing them (killed outright, the machine stopped): while its child
// runs, a run sweeps the directory that holds its own extraction directory
// for the trees of earlier runs of its template (payload/tree_sweep.h).
#pragma once

namespace onefile {

// Sweeps the siblings of this run's extraction directory that the last
// level of `directoryTemplate`, the template it was made from, could have
// produced (templates/run_directory_name.h), when the launcher reclaims
// (not made with pack --no-reclaim or --reuse) and the holding directory
// lies on a local file system. A tree goes only when it is 0700, carries
// the mark of a fresh run, the process id in its name names no process, its
// status last changed more than kAbandonedSeconds ago, and no run holds it.
void reclaimAbandonedTrees(const char* directoryTemplate);

}  // namespace onefile
