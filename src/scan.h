#pragma once

#include "names.h"

#include <climits>

// Every executable name found along PATH, each once.
extern name_table name_list;

// Copies the next component of PATH, from rest on, into component and moves
// rest past it. Empty components are skipped, as is one too long to name a
// file. Returns false once there are no more.
bool next_component(const char*& rest, char (&component)[PATH_MAX]);

// Fills name_list from the directories of PATH.
void scan_path();
