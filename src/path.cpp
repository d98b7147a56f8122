#include "path.h"

#include <cstring>

const char* search_path;

bool next_component(const char*& rest, char (&component)[PATH_MAX])
{
    for (;;) {
        rest += std::strspn(rest, ":");
        if (*rest == '\0')
            return false;
        const std::size_t length = std::strcspn(rest, ":");
        const char* start = rest;
        rest += length;
        if (length < sizeof component) {
            std::memcpy(component, start, length);
            component[length] = '\0';
            return true;
        }
    }
}
