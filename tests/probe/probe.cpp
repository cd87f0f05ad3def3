// The probe: the application that end-to-end tests pack into launchers. It
// reports what it was given (arguments, environment, own path, signal mask,
// parent process id, the extracted tree and the mode of its top directory)
// and then behaves as the test asks through environment variables, so that
// the launcher's arguments stay untouched:
//
//   PROBE_REPORT=FILE     write the report to FILE instead of standard output
//   PROBE_READY_FD=N      write "ready\n" to descriptor N once the report is
//                         written and the signal handlers are in place
//   PROBE_WAIT=1          then wait for signals instead of exiting
//   PROBE_WAIT_MS=N       wait as PROBE_WAIT does, but for at most N ms
//   PROBE_LINGER_MS=N     after the wait, go on receiving (and recording)
//                         signals for N ms before ending
//   PROBE_PID_FILE=FILE   write the probe's process id to FILE before the
//                         report
//   PROBE_SIGNALS=FILE    append "signal=N code=C" for each signal received
//   PROBE_IGNORE_SIGINT=1 record SIGINT but keep waiting
//   PROBE_EXIT=N          exit with N (after a received SIGINT too)
//   PROBE_RAISE=N         end by signal N instead of exiting
//   PROBE_MAKE_FILE=PATH  create PATH (relative to the probe's directory)
//   PROBE_COPY_TO=DIR     copy the content of every regular file of the
//                         probe's directory tree to the same relative path
//                         below DIR (missing directories are created), so a
//                         test can compare the extracted bytes after the run
//   PROBE_COPY_AFTER=DIR  the same copy once more after the wait and the
//                         linger: what the application finds of its tree
//                         later in its life
//
// Report lines are "key=value"; newlines and backslashes in values are
// escaped as \n and \\.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>
#include <vector>
#include <algorithm>

extern char** environ;

namespace {

volatile sig_atomic_t interrupted;
int signalsFile = -1;

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}

void line(FILE* out, const std::string& key, const std::string& value) {
    fprintf(out, "%s=%s\n", key.c_str(), escape(value).c_str());
}

int environmentNumber(const char* name, int fallback) {
    const char* value = getenv(name);
    return value ? atoi(value) : fallback;
}

void appendNumber(char*& cursor, long value) {
    char digits[24];
    int count = 0;
    bool negative = value < 0;
    unsigned long magnitude = negative ? -static_cast<unsigned long>(value) : value;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) *cursor++ = '-';
    while (count > 0) *cursor++ = digits[--count];
}

void recordSignal(int number, siginfo_t* information, void*) {
    if (signalsFile >= 0) {
        char text[64] = "signal=";
        char* cursor = text + strlen(text);
        appendNumber(cursor, number);
        memcpy(cursor, " code=", 6);
        cursor += 6;
        appendNumber(cursor, information->si_code);
        *cursor++ = '\n';
        (void)!write(signalsFile, text, cursor - text);
    }
    if (number == SIGINT && getenv("PROBE_IGNORE_SIGINT") != nullptr) return;
    interrupted = 1;
}

long millisecondsNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// Sleeps until `deadline` (milliseconds of the monotonic clock), running the
// signal handlers meanwhile; stops early on a signal when told to.
void sleepUntil(long deadline, bool stopWhenInterrupted) {
    for (long now = millisecondsNow(); now < deadline; now = millisecondsNow()) {
        if (stopWhenInterrupted && interrupted) return;
        long slice = deadline - now < 10 ? deadline - now : 10;
        struct timespec request = {0, slice * 1000000L};
        nanosleep(&request, nullptr);
    }
}

void listTree(FILE* out, const std::string& root, const std::string& relative) {
    std::string path = relative.empty() ? root : root + "/" + relative;
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) return;
    std::vector<std::string> names;
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string child = relative.empty() ? name : relative + "/" + name;
        std::string full = root + "/" + child;
        struct stat status;
        if (lstat(full.c_str(), &status) != 0) continue;
        char mode[16];
        snprintf(mode, sizeof mode, "%04o", status.st_mode & 07777);
        if (S_ISLNK(status.st_mode)) {
            char target[4096] = "";
            ssize_t length = readlink(full.c_str(), target, sizeof target - 1);
            if (length >= 0) target[length] = '\0';
            line(out, "tree", std::string("link ") + mode + " " + child + " -> " + target);
        } else if (S_ISDIR(status.st_mode)) {
            line(out, "tree", std::string("dir ") + mode + " " + child);
            listTree(out, root, child);
        } else {
            line(out, "tree", std::string("file ") + mode + " " + std::to_string(status.st_size) +
                                  " " + child);
        }
    }
}

// Copies the regular files below root/relative into target/relative.
void copyTree(const std::string& root, const std::string& relative, const std::string& target) {
    std::string source = relative.empty() ? root : root + "/" + relative;
    std::string destination = relative.empty() ? target : target + "/" + relative;
    mkdir(destination.c_str(), 0700);
    DIR* directory = opendir(source.c_str());
    if (directory == nullptr) return;
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string child = relative.empty() ? name : relative + "/" + name;
        std::string full = root + "/" + child;
        struct stat status;
        if (lstat(full.c_str(), &status) != 0) continue;
        if (S_ISDIR(status.st_mode)) {
            copyTree(root, child, target);
        } else if (S_ISREG(status.st_mode)) {
            FILE* in = fopen(full.c_str(), "rb");
            FILE* out = fopen((target + "/" + child).c_str(), "wb");
            char buffer[65536];
            size_t count;
            while (in && out && (count = fread(buffer, 1, sizeof buffer, in)) > 0) {
                fwrite(buffer, 1, count, out);
            }
            if (in) fclose(in);
            if (out) fclose(out);
        }
    }
    closedir(directory);
}

void writeReport(FILE* out, int argc, char** argv) {
    char self[4096] = "";
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length >= 0) self[length] = '\0';
    line(out, "self", self);
    line(out, "argc", std::to_string(argc));
    for (int i = 0; i < argc; ++i) line(out, "arg", argv[i]);
    for (char** variable = environ; *variable != nullptr; ++variable) line(out, "env", *variable);
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    std::string blocked;
    for (int number = 1; number < 32; ++number) {
        if (sigismember(&mask, number)) blocked += std::to_string(number) + ",";
    }
    line(out, "blocked", blocked);
    char cwd[4096] = "";
    if (getcwd(cwd, sizeof cwd) != nullptr) line(out, "cwd", cwd);
    line(out, "ppid", std::to_string(getppid()));
    std::string directory = self;
    directory = directory.substr(0, directory.rfind('/'));
    line(out, "directory", directory);
    struct stat directoryStatus;
    if (stat(directory.c_str(), &directoryStatus) == 0) {
        char mode[16];
        snprintf(mode, sizeof mode, "%04o", directoryStatus.st_mode & 07777);
        line(out, "directory_mode", mode);
    }
    listTree(out, directory, "");
    line(out, "end", "");
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* path = getenv("PROBE_SIGNALS")) {
        signalsFile = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }
    struct sigaction action = {};
    action.sa_sigaction = recordSignal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);

    if (const char* relative = getenv("PROBE_MAKE_FILE")) {
        char self[4096] = "";
        ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length >= 0) self[length] = '\0';
        std::string path = std::string(self).substr(0, std::string(self).rfind('/')) + "/" + relative;
        FILE* made = fopen(path.c_str(), "w");
        if (made) fclose(made);
    }

    if (const char* path = getenv("PROBE_PID_FILE")) {
        FILE* pidFile = fopen(path, "w");
        if (pidFile) {
            fprintf(pidFile, "%ld\n", static_cast<long>(getpid()));
            fclose(pidFile);
        }
    }

    FILE* out = stdout;
    if (const char* path = getenv("PROBE_REPORT")) {
        out = fopen(path, "w");
        if (out == nullptr) {
            perror(path);
            return 99;
        }
    }
    writeReport(out, argc, argv);
    fflush(out);
    if (out != stdout) fclose(out);

    char self[4096] = "";
    ssize_t selfLength = readlink("/proc/self/exe", self, sizeof self - 1);
    if (selfLength >= 0) self[selfLength] = '\0';
    const std::string ownDirectory = std::string(self).substr(0, std::string(self).rfind('/'));
    if (const char* target = getenv("PROBE_COPY_TO")) copyTree(ownDirectory, "", target);

    if (const char* ready = getenv("PROBE_READY_FD")) {
        int descriptor = atoi(ready);
        (void)!write(descriptor, "ready\n", 6);
        close(descriptor);
    }
    if (getenv("PROBE_WAIT") != nullptr) {
        while (!interrupted) pause();
    } else if (int limit = environmentNumber("PROBE_WAIT_MS", -1); limit >= 0) {
        sleepUntil(millisecondsNow() + limit, true);
    }
    if (int linger = environmentNumber("PROBE_LINGER_MS", 0); linger > 0) {
        sleepUntil(millisecondsNow() + linger, false);
    }
    if (const char* target = getenv("PROBE_COPY_AFTER")) copyTree(ownDirectory, "", target);
    if (int number = environmentNumber("PROBE_RAISE", 0)) {
        signal(number, SIG_DFL);
        raise(number);
    }
    return environmentNumber("PROBE_EXIT", 0);
}
