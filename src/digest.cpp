#include "digest.h"

#include "fatal.h"
#include "hash.h"
#include "user.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The digest of who the run is for, asked of the system once: a stale cache
// is judged and then rebuilt, and both digest the same user.
bool user_known = false;
path_digest user_digest{};

// Adds the supplementary groups, sorted, as the system may list them in any
// order. Most users have a few; the system's limit may be tens of thousands.
void add_groups(path_digest& digest)
{
    gid_t few[64];
    gid_t* groups = few;
    int count = getgroups(64, few);
    if (count < 0 && errno == EINVAL) {
        count = getgroups(0, nullptr);
        if (count > 0) {
            groups = static_cast<gid_t*>(reallocate(
                nullptr, static_cast<std::size_t>(count) * sizeof *groups, "malloc failed"));
            count = getgroups(count, groups);
        }
    }
    // The groups cannot be had (they changed between the two calls): marked,
    // so that the digest stands for no set of groups that could be read.
    if (count < 0) {
        digest.state = hash_word(digest.state, ~std::uint64_t{0});
        count = 0;
    }
    // A comparison of its own: libc++ keeps its sort of plain integers in
    // its library, which the musl build does not link.
    std::sort(groups, groups + count, [](gid_t left, gid_t right) { return left < right; });
    digest.state = hash_word(digest.state, static_cast<std::uint64_t>(count));
    for (int i = 0; i < count; ++i)
        digest.state = hash_word(digest.state, groups[i]);
    if (groups != few)
        std::free(groups);
}

void ask_user()
{
    if (user_known)
        return;
    user_digest.state = hash_word(hash_word(hash_multiplier, run_uid), run_gid);
    add_groups(user_digest);
    user_known = true;
}

} // namespace

path_digest digest_path(const char* path)
{
    ask_user();
    path_digest digest = user_digest;
    const std::string_view text{path};
    digest.state = hash_bytes(hash_word(digest.state, text.size()), text);
    return digest;
}

void add_status(path_digest& digest, const struct stat* status)
{
    // A tag first, so that no sequence of components reads as another.
    if (status == nullptr) {
        digest.state = hash_word(digest.state, 0);
        return;
    }
    digest.state = hash_word(digest.state, 1);
    digest.state = hash_word(digest.state, static_cast<std::uint64_t>(status->st_dev));
    digest.state = hash_word(digest.state, static_cast<std::uint64_t>(status->st_ino));
    digest.state = hash_word(digest.state, static_cast<std::uint64_t>(status->st_ctim.tv_sec));
    digest.state = hash_word(digest.state, static_cast<std::uint64_t>(status->st_ctim.tv_nsec));
}

void add_component(path_digest& digest, const char* component)
{
    struct stat status {};
    add_status(digest, stat(component, &status) == 0 ? &status : nullptr);
}
