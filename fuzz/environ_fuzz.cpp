// Arbitrary environment-file contents go through the service's environment
// filter, walked the way change_environ walks the peer's file and handed to
// putenv in place. change_environ itself needs a peer process and root, so
// the walk is mirrored here; only the entries a plain model accepts may end
// up in the environment.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "service/service.h"

event_base *ev_base;
static logger fuzz_logger;
logger *plgr = &fuzz_logger;

namespace {

void fail(const char *what)
{
	fprintf(stderr, "environ_fuzz: %s\n", what);
	abort();
}

bool model_accept(const std::string &entry)
{
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	clearenv();
	// Sized exactly, so that a look past the bytes read is caught.
	file.assign(data, data + size);
	file.shrink_to_fit();

	std::vector<std::string> accepted;
	size_t offset = 0;
	while (offset < size) {
		char *entry = file.data() + offset;
		auto *end = static_cast<char *>(memchr(entry, '\0', size - offset));
		if (!end)
			break;
		std::string text(entry, end);
		if (accept_environ_entry(std::string_view(entry, size_t(end - entry)))) {
			if (!model_accept(text))
				fail("filter accepted an entry it must drop");
			accepted.push_back(text);
			putenv(entry);
		} else if (model_accept(text)) {
			fail("filter dropped an entry it must accept");
		}
		offset = size_t(end - file.data()) + 1;
	}

	for (char **e = environ; e && *e; e++) {
		if (*e < file.data() || *e >= file.data() + size)
			fail("an entry outside the file reached the environment");
		if (!model_accept(*e))
			fail("a dropped entry reached the environment");
	}
	return 0;
}
