// Arbitrary environment-file contents go through the service's own walk and
// filters (a caller's own and a confined caller's, whose display listeners
// are taken as trusted or not), handed to putenv in place.
// Only the entries a plain model accepts may end up in the environment, each
// the last of its name, and the walk fails exactly when the last entry lacks
// its NUL.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "service/environ.h"

namespace {

logger fuzz_logger;

void fail(const char *what)
{
	fprintf(stderr, "environ_fuzz: %s\n", what);
	abort();
}

bool all_of(const std::string &text, const char *set)
{
	return text.find_first_not_of(set) == std::string::npos;
}

constexpr char DIGITS[] = "0123456789";
constexpr char WORD[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789:-_";

bool model_display(const std::string &value)
{
	if (value.size() < 2 || value[0] != ':')
		return false;
	std::string rest = value.substr(1);
	size_t dot = rest.find('.');
	std::string number = rest.substr(0, dot);
	if (number.empty() || !all_of(number, DIGITS))
		return false;
	if (dot == std::string::npos)
		return true;
	std::string screen = rest.substr(dot + 1);
	return !screen.empty() && all_of(screen, DIGITS);
}

// The language, with no slash that would make it a path: -1 for other names.
int model_locale(const std::string &entry)
{
	size_t equals = entry.find('=');
	std::string name = entry.substr(0, equals);
	bool locale = name == "LANG" || name == "LANGUAGE" ||
		      (name.size() > 3 && name.compare(0, 3, "LC_") == 0 &&
		       all_of(name.substr(3), "ABCDEFGHIJKLMNOPQRSTUVWXYZ_"));
	if (!locale)
		return -1;
	return equals != std::string::npos && entry.find('/') == std::string::npos;
}

// A confined caller's entry, judged on its text; its displays are only candidates.
bool model_confined(const std::string &entry)
{
	if (int locale = model_locale(entry); locale >= 0)
		return locale;
	size_t equals = entry.find('=');
	if (equals == std::string::npos)
		return false;
	std::string name = entry.substr(0, equals);
	std::string value = entry.substr(equals + 1);
	if (name == "DISPLAY")
		return model_display(value);
	if (name == "WAYLAND_DISPLAY")
		return !value.empty() && value.find('/') == std::string::npos;
	if (name == "XDG_CURRENT_DESKTOP" || name == "XDG_SESSION_TYPE" || name == "XDG_SESSION_DESKTOP")
		return all_of(value, WORD);
	return false;
}

bool model_accept(const std::string &entry, bool confined)
{
	if (confined)
		return model_confined(entry);
	if (int locale = model_locale(entry); locale >= 0)
		return locale;
	if (entry.compare(0, 12, "XAUTHORITY=/") == 0)
		return true;
	if (entry == "XDG_CONFIG_HOME=/" || entry == "XDG_DATA_HOME=/")
		return false;
	for (const char *prefix : {"SESSION_MANAGER=", "XDG_CURRENT_DESKTOP=",
				   "DBUS_SESSION_BUS_ADDRESS=", "XDG_RUNTIME_DIR=", "XDG_", "HOME="})
		if (entry.compare(0, strlen(prefix), prefix) == 0)
			return true;
	return entry.find("DISPLAY=") != std::string::npos;
}

// Stays the environment's storage until the next input has cleared it.
std::vector<char> file;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// Records are rendered, debug ones included, and delivered nowhere.
	logger_init(&fuzz_logger);
	logger_set_format(&fuzz_logger, "%v: %F: %m%n");
	logger_set_level(&fuzz_logger, LEVEL_DEBUG);
	return 0;
}

namespace {

// The offset of the last complete entry named name, bare or with a value; -1 for none.
long model_last(const std::vector<char> &content, const std::string &name)
{
	long last = -1;
	for (size_t offset = 0; offset < content.size();) {
		const char *entry = content.data() + offset;
		if (!memchr(entry, '\0', content.size() - offset))
			break;
		std::string text(entry);
		if (text.compare(0, name.size(), name) == 0 &&
		    (text.size() == name.size() || text[name.size()] == '='))
			last = static_cast<long>(offset);
		offset += text.size() + 1;
	}
	return last;
}

void check_walk(const uint8_t *data, size_t size, bool confined, bool listeners_trusted)
{
	clearenv();
	// Sized exactly, so that a look past the bytes read is caught.
	file.assign(data, data + size);
	file.shrink_to_fit();

	// The service checks the listener of the last display entry of each kind;
	// here it trusts them or not as the input says.
	confined_displays displays;
	long display = model_last(file, "DISPLAY");
	long wayland = model_last(file, "WAYLAND_DISPLAY");
	if (listeners_trusted && display >= 0)
		displays.display = file.data() + display;
	if (listeners_trusted && wayland >= 0)
		displays.wayland = file.data() + wayland;

	// What putenv must leave: the last accepted entry of each name; an
	// accepted entry without "=" removes its name.
	std::map<std::string, std::string> expected;
	size_t offset = 0;
	bool complete = true;
	while (offset < size) {
		const char *entry = file.data() + offset;
		const void *end = memchr(entry, '\0', size - offset);
		if (!end) {
			complete = false;
			break;
		}
		std::string text(entry);
		bool taken = model_accept(text, confined);
		if (confined && text.compare(0, 8, "DISPLAY=") == 0)
			taken = taken && entry == displays.display;
		if (confined && text.compare(0, 16, "WAYLAND_DISPLAY=") == 0)
			taken = taken && entry == displays.wayland;
		if (taken) {
			size_t equals = text.find('=');
			if (equals == std::string::npos)
				expected.erase(text);
			else
				expected[text.substr(0, equals)] = text;
		}
		offset += text.size() + 1;
	}

	int result = put_environ_entries(&fuzz_logger, file.data(), size, confined ? &displays : nullptr);
	if (result != (complete ? 0 : -1))
		fail("wrong result for the last entry's NUL");

	size_t seen = 0;
	for (char **e = environ; e && *e; e++, seen++) {
		if (*e < file.data() || *e >= file.data() + size)
			fail("an entry outside the file reached the environment");
		std::string text(*e);
		auto it = expected.find(text.substr(0, text.find('=')));
		if (it == expected.end() || it->second != text)
			fail("an entry the filter must drop, or an overridden one, is set");
	}
	if (seen != expected.size())
		fail("an accepted entry is missing from the environment");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	check_walk(data, size, false, false);
	check_walk(data, size, true, size % 2 == 0);
	check_walk(data, size, true, size % 2 != 0);
	return 0;
}
