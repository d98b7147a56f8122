#pragma once

#include "digest.h"
#include "names.h"

// Every executable name found along PATH, each once.
extern name_table name_list;

// Fills name_list from the directories of PATH, and adds each component to
// given as the scan found it, before reading it. Returns false if a directory
// could not be read whole, for a reason that may pass (an I/O error, too many
// open files): the names are then fewer than PATH holds.
bool scan_path(path_digest& given);
