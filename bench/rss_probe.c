/* Runs as a launcher's application and reports the launcher's memory while
 * the application runs: the memory lines of /proc/PARENT/status, where
 * PARENT is the launcher's process id from TAVMIR_ONEFILE_PARENT, or the
 * parent process when that is not set (under the floor program). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char* const kReportedFields[] = {"VmHWM:", "VmRSS:", "RssAnon:", "RssFile:", "RssShmem:"};
enum { kLineBytes = 256, kPathBytes = 64 };

int main(void) {
    char path[kPathBytes];
    const char* parent = getenv("TAVMIR_ONEFILE_PARENT");
    int length = parent != NULL ? snprintf(path, sizeof path, "/proc/%s/status", parent)
                                : snprintf(path, sizeof path, "/proc/%d/status", (int)getppid());
    if (length < 0 || length >= (int)sizeof path) {
        fprintf(stderr, "rss_probe: process id too long\n");
        return 1;
    }
    FILE* status = fopen(path, "r");
    if (status == NULL) {
        perror(path);
        return 1;
    }
    char line[kLineBytes];
    while (fgets(line, sizeof line, status) != NULL) {
        for (size_t i = 0; i < sizeof kReportedFields / sizeof kReportedFields[0]; ++i) {
            if (strncmp(line, kReportedFields[i], strlen(kReportedFields[i])) == 0) fputs(line, stdout);
        }
    }
    fclose(status);
    return 0;
}
