// Arbitrary file contents and section names go through read_log_level, and
// arbitrary lines through trim_line; both must agree with a plain model.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "logger/logger.h"

namespace {

void fail(const char *what)
{
	fprintf(stderr, "config_fuzz: %s\n", what);
	abort();
}

bool space(char c)
{
	return isspace(static_cast<unsigned char>(c));
}

std::string model_trim(const std::string &line)
{
	size_t start = 0;
	while (start < line.size() && space(line[start]))
		start++;
	size_t end = line.find_first_of(";#", start);
	if (end == std::string::npos)
		end = line.size();
	while (end > start && space(line[end - 1]))
		end--;
	return line.substr(start, end - start);
}

int model_level(const std::string &value)
{
	static const char *const words[][2] = {
		{"none", "0"}, {"error", "1"}, {"warning", "2"}, {"info", "3"}, {"debug", "4"}};
	static const int levels[] = {LEVEL_NONE, LEVEL_ERROR, LEVEL_WARNING, LEVEL_INFO, LEVEL_DEBUG};
	for (size_t i = 0; i < 5; i++)
		if (value == words[i][0] || value == words[i][1])
			return levels[i];
	return -EINVAL;
}

int model_read(std::string content, const std::string &section)
{
	// Refused from its size alone, before it is read.
	if (content.size() > (1u << 20))
		return -EFBIG;
	content.resize(strnlen(content.data(), content.size()));
	int result = -ENOENT;
	bool any_section = false, in_section = false, seen = false, found = false;
	size_t pos = 0;
	while (pos < content.size()) {
		size_t nl = content.find('\n', pos);
		if (nl == std::string::npos)
			nl = content.size();
		std::string line = model_trim(content.substr(pos, nl - pos));
		pos = nl + 1;
		if (line.empty())
			continue;
		if (line[0] == '[') {
			if (line.find(']') != line.size() - 1)
				return -EINVAL;
			any_section = true;
			in_section = line.substr(1, line.size() - 2) == section;
			if (in_section && seen)
				return -EINVAL;
			seen = seen || in_section;
			continue;
		}
		if (!any_section)
			return -EINVAL;
		if (!in_section)
			continue;
		size_t eq = line.find('=');
		if (eq == std::string::npos)
			return -EINVAL;
		if (model_trim(line.substr(0, eq)) != "log level")
			continue;
		if (found)
			return -EINVAL;
		result = model_level(model_trim(line.substr(eq + 1)));
		if (result < 0)
			return result;
		found = true;
	}
	return result;
}

int memfd = -1;
char memfd_path[64];

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	memfd = memfd_create("config_fuzz", 0);
	if (memfd < 0)
		fail("memfd_create");
	snprintf(memfd_path, sizeof memfd_path, "/proc/self/fd/%d", memfd);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider in(data, size);
	std::string section = in.ConsumeRandomLengthString(24).c_str();
	std::string content = in.ConsumeRemainingBytesAsString();

	if (ftruncate(memfd, 0) != 0 ||
	    pwrite(memfd, content.data(), content.size(), 0) != ssize_t(content.size()))
		fail("writing the file");
	int got = read_log_level(memfd_path, section.c_str());
	int want = model_read(content, section);
	if (got != want) {
		fprintf(stderr, "read_log_level gave %d, expected %d\n", got, want);
		fail("read_log_level result");
	}

	// trim_line on every line of the content, in a block of its own size so
	// that any overrun is caught.
	size_t pos = 0;
	while (pos <= content.size()) {
		size_t nl = content.find('\n', pos);
		if (nl == std::string::npos)
			nl = content.size();
		std::string line = content.substr(pos, nl - pos).c_str();
		pos = nl + 1;
		std::vector<char> copy(line.begin(), line.end());
		copy.push_back('\0');
		char *start = trim_line(copy.data());
		if (start < copy.data() || start >= copy.data() + copy.size())
			fail("trim_line pointed outside its line");
		if (start != model_trim(line))
			fail("trim_line result");
	}
	return 0;
}
