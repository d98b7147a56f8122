#pragma once

#include "digest.h"
#include "names.h"

#include <climits>

// PATH as the environment holds it; set once by the run, never written.
extern const char* search_path;

// Every executable name found along PATH, each once.
extern name_table name_list;

// Copies the next component of PATH, from rest on, into component and moves
// rest past it. Empty components are skipped, as is one too long to name a
// file. Returns false once there are no more.
bool next_component(const char*& rest, char (&component)[PATH_MAX]);

// Fills name_list from the directories of PATH, and adds each component to
// given as the scan found it, before reading it. Returns false if a directory
// could not be read whole, for a reason that may pass (an I/O error, too many
// open files): the names are then fewer than PATH holds.
bool scan_path(path_digest& given);
