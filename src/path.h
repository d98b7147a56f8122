#pragma once

#include <climits>

// PATH as the environment holds it; set once by the run, never written.
extern const char* search_path;

// Copies the next component of PATH, from rest on, into component and moves
// rest past it. Empty components are skipped, as is one too long to name a
// file. Returns false once there are no more.
bool next_component(const char*& rest, char (&component)[PATH_MAX]);
