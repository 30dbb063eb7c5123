// What a connection child takes from its caller's environment.
#include "service/environ.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unistd.h>

#include "logger/quote.h"

// Its records belong to the one operation callers know, in the caller's logger lgr.
#define ENVIRON_LOG(level, ...) LOGGER_LOG(lgr, (level), "main", "change_environ", __VA_ARGS__)

namespace {

// Variables that carry the session: display, bus, runtime directory, home.
constexpr std::string_view SESSION_PREFIXES[] = {
	"SESSION_MANAGER=",
	"XDG_CURRENT_DESKTOP=",
	"DBUS_SESSION_BUS_ADDRESS=",
	"XDG_RUNTIME_DIR=",
	"XDG_",
	"HOME=",
};

// All a caller that sees another file system may pass on: where its desktop
// is, never where programs, handlers or their settings are looked up.
constexpr std::string_view CONFINED_NAMES[] = {
	"DISPLAY",
	"WAYLAND_DISPLAY",
	"DBUS_SESSION_BUS_ADDRESS",
	"XDG_RUNTIME_DIR",
	"XDG_CURRENT_DESKTOP",
	"XDG_SESSION_TYPE",
	"XDG_SESSION_DESKTOP",
	"SESSION_MANAGER",
};

// What putenv does with an entry: it takes the place of the one of the same
// name, or comes last; a bare name removes its entry. The array has room for
// one more entry and its null.
void set_entry(char **env, size_t *used, char *entry, std::string_view text)
{
	size_t equals = text.find('=');
	std::string_view name = text.substr(0, equals);
	char **end = env + *used;
	char **same = std::find_if(env, end, [name](const char *e) {
		return strncmp(e, name.data(), name.size()) == 0 && e[name.size()] == '=';
	});
	if (equals == std::string_view::npos) {
		if (same != end) {
			std::copy(same + 1, end + 1, same);
			--*used;
		}
		return;
	}
	if (same != end) {
		*same = entry;
		return;
	}
	*end = entry;
	end[1] = nullptr;
	++*used;
}

} // namespace

bool accept_environ_entry(std::string_view entry)
{
	// A lone slash would make the root directory the user's configuration.
	if (entry == "XDG_CONFIG_HOME=/" || entry == "XDG_DATA_HOME=/")
		return false;
	for (std::string_view prefix : SESSION_PREFIXES)
		if (entry.starts_with(prefix))
			return true;
	return entry.find("DISPLAY=") != std::string_view::npos;
}

bool accept_confined_entry(std::string_view entry)
{
	size_t equals = entry.find('=');
	if (equals == std::string_view::npos)
		return false;
	return std::ranges::find(CONFINED_NAMES, entry.substr(0, equals)) != std::end(CONFINED_NAMES);
}

int put_environ_entries(logger *lgr, char *entries, size_t count, bool confined)
{
	// Built here rather than by putenv, entry by entry: putenv grows its array
	// for every entry, and its first call in a child binds symbols anew.
	// Reachable from here whatever the environment is later, and reused.
	static char **built = nullptr;
	size_t slots = static_cast<size_t>(std::count(entries, entries + count, '\0')) + 1;
	auto **grown = static_cast<char **>(realloc(built, slots * sizeof(char *)));
	if (!grown) {
		ENVIRON_LOG(LEVEL_ERROR, "out of memory");
		return -1;
	}
	built = grown;
	size_t used = 0;
	built[0] = nullptr;
	environ = built;

	size_t offset = 0;
	while (offset < count) {
		char *entry = entries + offset;
		auto *end = static_cast<char *>(memchr(entry, '\0', count - offset));
		if (!end) {
			ENVIRON_LOG(LEVEL_ERROR, "no null into string");
			return -1;
		}
		std::string_view text(entry, end - entry);
		ENVIRON_LOG(LEVEL_DEBUG, "plugin env: %s", log_quote(text).c_str());
		if (confined ? accept_confined_entry(text) : accept_environ_entry(text)) {
			set_entry(built, &used, entry, text);
			ENVIRON_LOG(LEVEL_DEBUG, "putenv: %s", log_quote(text).c_str());
		}
		offset = static_cast<size_t>(end - entries) + 1;
	}
	return 0;
}
