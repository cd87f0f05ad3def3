# The tests' stub with hooks: which calls of the launcher are wrapped, and the
# source of the wrappers. Included by build/stub/stub_targets.cmake. Every
# call named here needs its __wrap_ and __real_ in launcher_hooks.c.
set(onefile_hook_sources ${CMAKE_CURRENT_LIST_DIR}/launcher_hooks.c)
set(onefile_hooked_calls
  sigaction open openat getrandom mkdirat symlinkat write fstat close readlink fstatvfs fork execv waitpid flock
  copy_file_range sendfile
  clock_gettime fstatfs unlinkat)
