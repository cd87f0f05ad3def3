#include "tool/mapping_fault_guard.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

namespace onefile::tool {
namespace {

// What the handler reads: set before it is installed, cleared after it is
// gone.
std::uintptr_t guardedStart = 0;
std::uintptr_t guardedEnd = 0;  // the end of the mapping's last page
std::uintptr_t pageMask = 0;
volatile std::sig_atomic_t faultedFlag = 0;
struct sigaction previousAction {};

extern "C" void replaceVanishedPages(int signalNumber, siginfo_t* information, void*) {
    const int savedErrno = errno;
    const auto address = reinterpret_cast<std::uintptr_t>(information->si_addr);
    if (information->si_code == BUS_ADRERR && address >= guardedStart && address < guardedEnd) {
        // The faulting read is made again on return, and finds zeros.
        const std::uintptr_t page = address & ~pageMask;
        if (::mmap(reinterpret_cast<void*>(page), guardedEnd - page, PROT_READ,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            faultedFlag = 1;
            errno = savedErrno;
            return;
        }
    }
    // Any other bus error ends the tool as it would have.
    (void)std::signal(signalNumber, SIG_DFL);
    (void)std::raise(signalNumber);
}

}  // namespace

MappingFaultGuard::MappingFaultGuard(ByteSpan mapping) {
    pageMask = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)) - 1;
    guardedStart = reinterpret_cast<std::uintptr_t>(mapping.data());
    guardedEnd = (guardedStart + mapping.size() + pageMask) & ~pageMask;
    faultedFlag = 0;
    struct sigaction action {};
    action.sa_sigaction = replaceVanishedPages;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    (void)::sigaction(SIGBUS, &action, &previousAction);
}

MappingFaultGuard::~MappingFaultGuard() {
    (void)::sigaction(SIGBUS, &previousAction, nullptr);
    guardedStart = guardedEnd = 0;
}

bool MappingFaultGuard::faulted() { return faultedFlag != 0; }

}  // namespace onefile::tool
