// Arbitrary environment-file contents go through the service's own walk and
// filters (a caller's own and a confined caller's), handed to putenv in place.
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

bool model_accept(const std::string &entry, bool confined)
{
	if (confined) {
		std::string name = entry.substr(0, entry.find('='));
		if (name.size() == entry.size())
			return false;
		for (const char *kept : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
					 "XDG_RUNTIME_DIR", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE",
					 "XDG_SESSION_DESKTOP", "SESSION_MANAGER"})
			if (name == kept)
				return true;
		return false;
	}
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

void check_walk(const uint8_t *data, size_t size, bool confined)
{
	clearenv();
	// Sized exactly, so that a look past the bytes read is caught.
	file.assign(data, data + size);
	file.shrink_to_fit();

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
		if (model_accept(text, confined)) {
			size_t equals = text.find('=');
			if (equals == std::string::npos)
				expected.erase(text);
			else
				expected[text.substr(0, equals)] = text;
		}
		offset += text.size() + 1;
	}

	int result = put_environ_entries(&fuzz_logger, file.data(), size, confined);
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
	check_walk(data, size, false);
	check_walk(data, size, true);
	return 0;
}
