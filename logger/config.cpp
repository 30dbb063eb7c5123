// Reads a log level threshold from a section of an ini-style file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/unique_fd.h"
#include "logger/logger.h"

namespace {

// A level setting needs a few lines; a larger file is not worth reading.
constexpr off_t MAX_CONFIG_SIZE = 1 << 20;

struct buffer_freer {
	void operator()(char *p) const { free(p); }
};

// The digit counts the word's position, so "1" is ERROR, not SERVICE.
struct level_name {
	const char *word;
	const char *digit;
	int level;
};
constexpr level_name LEVEL_NAMES[] = {
	{"none", "0", LEVEL_NONE},
	{"error", "1", LEVEL_ERROR},
	{"warning", "2", LEVEL_WARNING},
	{"info", "3", LEVEL_INFO},
	{"debug", "4", LEVEL_DEBUG},
};

int parse_level(const char *value)
{
	for (const auto &name : LEVEL_NAMES)
		if (strcmp(value, name.word) == 0 || strcmp(value, name.digit) == 0)
			return name.level;
	return -EINVAL;
}

int parse_config(char *data, const char *section)
{
	int result = -ENOENT;
	bool in_any_section = false;
	bool in_section = false;
	bool section_seen = false;

	// A NUL inside the data ends it, as if the file ended there.
	for (char *next = data; *next;) {
		char *line = next;
		char *newline = strchr(line, '\n');
		if (newline) {
			*newline = '\0';
			next = newline + 1;
		} else {
			next = line + strlen(line);
		}

		line = trim_line(line);
		if (!*line)
			continue;

		if (*line == '[') {
			char *close = strchr(line, ']');
			if (!close || close[1] != '\0')
				return -EINVAL;
			*close = '\0';
			in_any_section = true;
			in_section = strcmp(line + 1, section) == 0;
			if (in_section) {
				if (section_seen)
					return -EINVAL;
				section_seen = true;
			}
			continue;
		}
		if (!in_any_section)
			return -EINVAL;
		if (!in_section)
			continue;

		char *equals = strchr(line, '=');
		if (!equals)
			return -EINVAL;
		*equals = '\0';
		if (strcmp(trim_line(line), "log level") != 0)
			continue;
		if (result != -ENOENT)
			return -EINVAL;
		result = parse_level(trim_line(equals + 1));
		if (result < 0)
			return result;
	}
	return result;
}

} // namespace

char *trim_line(char *line)
{
	while (isspace(static_cast<unsigned char>(*line)))
		line++;
	if (*line == ';' || *line == '#' || *line == '\0') {
		*line = '\0';
		return line;
	}
	char *end = line + strcspn(line, ";#");
	while (isspace(static_cast<unsigned char>(end[-1])))
		end--;
	*end = '\0';
	return line;
}

int read_log_level(const char *path, const char *section)
{
	if (!path || !section)
		return -EINVAL;

	// Without O_NONBLOCK a FIFO with no writer would hold us in open().
	unique_fd file(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
	if (file.get() < 0)
		return -errno;
	struct stat st;
	if (fstat(file.get(), &st) != 0)
		return -errno;
	if (S_ISDIR(st.st_mode))
		return -EISDIR;
	if (!S_ISREG(st.st_mode))
		return -EINVAL;
	if (st.st_size > MAX_CONFIG_SIZE)
		return -EFBIG;
	// Nothing to read means no setting.
	if (st.st_size == 0)
		return -ENOENT;

	size_t size = static_cast<size_t>(st.st_size);
	std::unique_ptr<char, buffer_freer> data(static_cast<char *>(malloc(size + 1)));
	if (!data)
		return -ENOMEM;
	for (size_t got = 0; got < size;) {
		ssize_t n = read(file.get(), data.get() + got, size - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -errno;
		// The file shrank since it was measured.
		if (n == 0)
			return -EIO;
		got += static_cast<size_t>(n);
	}
	data.get()[size] = '\0';

	return parse_config(data.get(), section);
}
