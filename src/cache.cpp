#include "cache.h"

#include "run.h"
#include "scan.h"

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

bool cache_is_fresh()
{
    struct stat cache {};
    if (stat(cache_file, &cache) != 0)
        return false;

    char component[PATH_MAX];
    for (const char* rest = search_path; next_component(rest, component);) {
        struct stat status {};
        if (stat(component, &status) == 0 && status.st_mtime > cache.st_mtime)
            return false;
    }
    return true;
}

void replay_cache()
{
    execlp("cat", "cat", cache_file, static_cast<char*>(nullptr));
    fatal("exec failed");
}
