#include "digest.h"

#include "hash.h"

#include <string_view>
#include <sys/stat.h>

path_digest digest_path(const char* path)
{
    const std::string_view text{path};
    return {hash_bytes(text.size() * hash_multiplier, text)};
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
