#include "fatal.h"

#include <cstdio>
#include <cstdlib>

void report(const char* message)
{
    std::fprintf(stderr, "zelto_path: %s\n", message);
}

void fatal(const char* message)
{
    report(message);
    std::exit(1);
}

void* reallocate(void* block, std::size_t size, const char* message)
{
    void* moved = std::realloc(block, size != 0 ? size : 1);
    if (moved == nullptr)
        fatal(message);
    return moved;
}
