// What a connection child takes from its caller's environment.
#include "service/environ.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
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

// Names of the desktop a confined caller may pass on, as plain words: a
// script that compares them can be steered by nothing else.
constexpr std::string_view CONFINED_DESKTOP_NAMES[] = {
	"XDG_CURRENT_DESKTOP",
	"XDG_SESSION_TYPE",
	"XDG_SESSION_DESKTOP",
};

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

bool is_desktop_word(std::string_view value)
{
	return std::ranges::all_of(value, [](char c) {
		return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == ':' ||
		       c == '-' || c == '_';
	});
}

// An entry the filter took, and where it stood among those taken.
struct taken_entry {
	char *entry;
	size_t name_length;
	size_t order;

	std::string_view name() const { return {entry, name_length}; }
	bool bare() const { return entry[name_length] == '\0'; }
};

struct free_deleter {
	void operator()(void *block) const { free(block); }
};

bool is_locale_name(std::string_view name)
{
	if (name == "LANG" || name == "LANGUAGE")
		return true;
	if (!name.starts_with("LC_") || name.size() == 3)
		return false;
	return std::ranges::all_of(name.substr(3), [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; });
}

// Where the opener's programs take their language from. A value with a slash
// would be read as a path to locale files of the caller's choosing, so it is
// never taken, whatever else the entry holds. -1 for any other entry.
int judge_locale(std::string_view entry)
{
	size_t equals = entry.find('=');
	if (!is_locale_name(entry.substr(0, equals)))
		return -1;
	return equals != std::string_view::npos &&
	       entry.find('/', equals) == std::string_view::npos;
}

bool confined_accepts(std::string_view text, const char *entry, const confined_displays &displays)
{
	if (!accept_confined_entry(text))
		return false;
	if (text.starts_with("DISPLAY="))
		return entry == displays.display;
	if (text.starts_with("WAYLAND_DISPLAY="))
		return entry == displays.wayland;
	return true;
}

} // namespace

bool accept_environ_entry(std::string_view entry)
{
	if (int locale = judge_locale(entry); locale >= 0)
		return locale;
	// The session's X cookie, wherever its desktop keeps it: a file the user's
	// opener could read anyway.
	if (entry.starts_with("XAUTHORITY=/"))
		return true;
	// A lone slash would make the root directory the user's configuration.
	if (entry == "XDG_CONFIG_HOME=/" || entry == "XDG_DATA_HOME=/")
		return false;
	for (std::string_view prefix : SESSION_PREFIXES)
		if (entry.starts_with(prefix))
			return true;
	return entry.find("DISPLAY=") != std::string_view::npos;
}

std::string_view display_number(std::string_view value)
{
	if (value.empty() || value[0] != ':')
		return {};
	size_t end = 1;
	while (end < value.size() && is_digit(value[end]))
		end++;
	std::string_view number = value.substr(1, end - 1);
	if (number.empty())
		return {};
	if (end == value.size())
		return number;
	// A screen of the display, which names no other listener.
	if (value[end] != '.' || end + 1 == value.size())
		return {};
	for (size_t i = end + 1; i < value.size(); i++)
		if (!is_digit(value[i]))
			return {};
	return number;
}

bool accept_confined_entry(std::string_view entry)
{
	if (int locale = judge_locale(entry); locale >= 0)
		return locale;
	size_t equals = entry.find('=');
	if (equals == std::string_view::npos)
		return false;
	std::string_view name = entry.substr(0, equals);
	std::string_view value = entry.substr(equals + 1);
	if (name == "DISPLAY")
		return !display_number(value).empty();
	// A name in the user's runtime directory, never a path of the caller's.
	if (name == "WAYLAND_DISPLAY")
		return !value.empty() && value.find('/') == std::string_view::npos;
	if (std::ranges::find(CONFINED_DESKTOP_NAMES, name) != std::end(CONFINED_DESKTOP_NAMES))
		return is_desktop_word(value);
	return false;
}

const char *last_entry_of(const char *entries, size_t count, std::string_view name)
{
	const char *last = nullptr;
	size_t offset = 0;
	while (offset < count) {
		const char *entry = entries + offset;
		const auto *end = static_cast<const char *>(memchr(entry, '\0', count - offset));
		if (!end)
			break;
		std::string_view text(entry, static_cast<size_t>(end - entry));
		if (text.starts_with(name) && (text.size() == name.size() || text[name.size()] == '='))
			last = entry;
		offset = static_cast<size_t>(end - entries) + 1;
	}
	return last;
}

int put_environ_entries(logger *lgr, char *entries, size_t count, const confined_displays *confined)
{
	// Built here rather than by putenv, entry by entry: putenv grows its array
	// for every entry and searches it for the name, and its first call in a
	// child binds symbols anew. Reachable from here whatever the environment
	// is later, and reused.
	static char **built = nullptr;
	size_t slots = static_cast<size_t>(std::count(entries, entries + count, '\0')) + 1;
	auto **grown = static_cast<char **>(realloc(built, slots * sizeof(char *)));
	if (grown)
		built = grown;
	std::unique_ptr<taken_entry[], free_deleter> taken(
		static_cast<taken_entry *>(malloc(slots * sizeof(taken_entry))));
	if (!grown || !taken) {
		ENVIRON_LOG(LEVEL_ERROR, "out of memory");
		return -1;
	}

	int result = 0;
	size_t n = 0;
	size_t offset = 0;
	while (offset < count) {
		char *entry = entries + offset;
		auto *end = static_cast<char *>(memchr(entry, '\0', count - offset));
		if (!end) {
			ENVIRON_LOG(LEVEL_ERROR, "no null into string");
			result = -1;
			break;
		}
		std::string_view text(entry, static_cast<size_t>(end - entry));
		ENVIRON_LOG(LEVEL_DEBUG, "plugin env: %s", log_quote(text).c_str());
		if (confined ? confined_accepts(text, entry, *confined) : accept_environ_entry(text)) {
			taken[n] = {entry, std::min(text.find('='), text.size()), n};
			n++;
			ENVIRON_LOG(LEVEL_DEBUG, "putenv: %s", log_quote(text).c_str());
		}
		offset = static_cast<size_t>(end - entries) + 1;
	}

	// What putenv would leave of them, found by sorting rather than by a
	// search for each name, which names a caller chose could make slow: the
	// last entry of each name stands where the name was set after its last
	// removal by a bare entry.
	std::sort(taken.get(), taken.get() + n, [](const taken_entry &a, const taken_entry &b) {
		int r = a.name().compare(b.name());
		return r != 0 ? r < 0 : a.order < b.order;
	});
	size_t used = 0;
	for (size_t i = 0; i < n;) {
		std::string_view name = taken[i].name();
		char *value = nullptr;
		size_t position = 0;
		for (; i < n && taken[i].name() == name; i++) {
			if (taken[i].bare()) {
				value = nullptr;
			} else {
				if (!value)
					position = taken[i].order;
				value = taken[i].entry;
			}
		}
		// Never past the entries read so far: used counts at most one per name.
		if (value)
			taken[used++] = {value, 0, position};
	}
	std::sort(taken.get(), taken.get() + used,
		  [](const taken_entry &a, const taken_entry &b) { return a.order < b.order; });
	for (size_t i = 0; i < used; i++)
		built[i] = taken[i].entry;
	built[used] = nullptr;
	environ = built;
	return result;
}
