#include "processgauge.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

ProcessGauge measureProcess()
{
    ProcessGauge gauge;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        size_t pages = 0, resident = 0;
        if (std::fscanf(f, "%zu %zu", &pages, &resident) == 2)
            gauge.residentBytes = resident * size_t(sysconf(_SC_PAGESIZE));
        std::fclose(f);
    }
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (const dirent *entry = ::readdir(dir))
            gauge.openFds += entry->d_name[0] != '.';
        ::closedir(dir);
        --gauge.openFds; // the listing's own
    }
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "Threads:", 8) == 0)
                gauge.threads = std::atoi(line + 8);
        std::fclose(f);
    }
    return gauge;
}

} // namespace bench
