// The walk over a caller's environment file and the filters that decide what
// of it a connection child keeps. Nothing here holds process-wide state: the
// logger is the caller's, so that a fuzzer links this without the service.
#pragma once

#include <cstddef>
#include <string_view>

#include "logger/logger.h"

// The most a caller's environment file may hold: more is no desktop session,
// only work for the service.
constexpr size_t ENVIRON_MAX_BYTES = 1048576;
constexpr size_t ENVIRON_MAX_ENTRIES = 65536;

// Whether an entry of the peer's environment (NAME=value) is kept: its
// session's variables, its X cookie's file and its language.
bool accept_environ_entry(std::string_view entry);
// Whether an entry is kept from a confined caller, judged on its text alone:
// display and desktop names of a plain form and the language, never a path, a
// bus address or a program. DISPLAY and WAYLAND_DISPLAY pass this only as candidates; the walk
// takes them only where confined_displays names them.
bool accept_confined_entry(std::string_view entry);
// The number of an X display of the form ":N" or ":N.S", or "" for any other
// value.
std::string_view display_number(std::string_view value);

// The entries of a confined caller's display variables that the service
// checked, before it dropped root, to be served in its own view of the files
// by the user or by root: the only ones the walk takes. Null: none.
struct confined_displays {
	const char *display = nullptr;
	const char *wayland = nullptr;
};

// The last entry of the content (each NAME=value ended by a NUL) that names
// the variable, with a value or bare; null when there is none. The variable
// has the value of that entry, or none when it is bare.
const char *last_entry_of(const char *entries, size_t count, std::string_view name);

// Puts the accepted entries of an environment file's content (each NAME=value
// ended by a NUL) into the environment, in place: the block must outlive the
// process's use of the environment. As putenv would, a later entry of a name
// replaces the earlier in its place and a bare name removes it. -1 when the
// last entry has no NUL or no memory is left. A confined caller's entries go
// through accept_confined_entry and displays instead. Its records go to lgr,
// as change_environ's.
int put_environ_entries(logger *lgr, char *entries, size_t count,
			const confined_displays *confined = nullptr);
