// The walk over a caller's environment file and the filters that decide what
// of it a connection child keeps. Nothing here holds process-wide state: the
// logger is the caller's, so that a fuzzer links this without the service.
#pragma once

#include <cstddef>
#include <string_view>

#include "logger/logger.h"

// Whether an entry of the peer's environment (NAME=value) is kept.
bool accept_environ_entry(std::string_view entry);
// Whether an entry is kept from a caller with a mount namespace or root
// directory of its own: only display and session variables, by exact name.
bool accept_confined_entry(std::string_view entry);
// Puts the accepted entries of an environment file's content (each NAME=value
// ended by a NUL) into the environment, in place: the block must outlive the
// process's use of the environment. -1 when the last entry has no NUL.
// A confined caller's entries go through accept_confined_entry instead.
// Its records go to lgr, as change_environ's.
int put_environ_entries(logger *lgr, char *entries, size_t count, bool confined = false);
