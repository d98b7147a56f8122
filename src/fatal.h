#pragma once

#include <cstddef>

// Writes "zelto_path: <message>" to standard error.
void report(const char* message);

// Reports message and exits with status 1.
[[noreturn]] void fatal(const char* message);

// realloc that does not come back empty-handed: on failure the run ends with
// message.
void* reallocate(void* block, std::size_t size, const char* message);
