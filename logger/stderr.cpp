// The standard-error writer, with the journal's priorities when standard
// error is the journal.
#include "logger/stderr.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "logger/logger.h"
#include "logger/render.h"

namespace {

// -1 until standard error was looked at: the first record decides.
std::atomic<int> stderr_is_journal{-1};

constexpr const char *priority_prefixes[] = {"", "<5>", "<3>", "<4>", "<6>", "<7>", "<7>"};

// "DEVICE:INODE" in decimal, nothing else.
bool parse_journal_stream(const char *text, unsigned long long *device,
			  unsigned long long *inode)
{
	unsigned long long *fields[] = {device, inode};
	for (int i = 0; i < 2; i++) {
		if (*text < '0' || *text > '9')
			return false;
		unsigned long long value = 0;
		for (; *text >= '0' && *text <= '9'; text++)
			if (__builtin_mul_overflow(value, 10u, &value) ||
			    __builtin_add_overflow(value, static_cast<unsigned>(*text - '0'), &value))
				return false;
		*fields[i] = value;
		if (*text != (i == 0 ? ':' : '\0'))
			return false;
		if (i == 0)
			text++;
	}
	return true;
}

bool journal_now()
{
	int known = stderr_is_journal.load(std::memory_order_relaxed);
	return known < 0 ? detect_stderr_journal() : known != 0;
}

// Retries what a signal or a short write left; gives up on any other error.
bool write_whole(const char *text, size_t length)
{
	while (length > 0) {
		ssize_t n = write(STDERR_FILENO, text, length);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		text += n;
		length -= static_cast<size_t>(n);
	}
	return true;
}

struct free_deleter {
	void operator()(char *block) const { free(block); }
};

} // namespace

bool detect_stderr_journal()
{
	bool journal = false;
	unsigned long long device, inode;
	struct stat st;
	const char *stream = getenv("JOURNAL_STREAM");
	if (stream && parse_journal_stream(stream, &device, &inode) &&
	    fstat(STDERR_FILENO, &st) == 0)
		journal = st.st_dev == device && st.st_ino == inode;
	stderr_is_journal.store(journal, std::memory_order_relaxed);
	return journal;
}

const char *stderr_line_prefix(int level)
{
	if (level < LEVEL_NONE || level > LEVEL_DUMP || !journal_now())
		return "";
	return priority_prefixes[level];
}

stderr_lines::stderr_lines(const char *lead) : prefix(lead), prefix_length(strlen(lead)) {}

void stderr_lines::write_out(size_t length)
{
	if (!write_failed && !write_whole(buffer, length))
		write_failed = true;
}

void stderr_lines::make_room()
{
	if (line_start == 0) {
		// The line alone fills the buffer: the one case that splits a line.
		write_out(used);
		used = 0;
		return;
	}
	write_out(line_start);
	used -= line_start;
	memmove(buffer, buffer + line_start, used);
	line_start = 0;
}

void stderr_lines::append(const char *text, size_t length)
{
	while (length > 0) {
		if (used == sizeof buffer)
			make_room();
		size_t n = sizeof buffer - used < length ? sizeof buffer - used : length;
		memcpy(buffer + used, text, n);
		used += n;
		text += n;
		length -= n;
	}
}

void stderr_lines::put(const char *text, size_t length)
{
	while (length > 0) {
		// The prefix waits for a line's first byte, so a final line feed
		// starts no empty line.
		if (at_line_start) {
			append(prefix, prefix_length);
			at_line_start = false;
		}
		const char *newline = static_cast<const char *>(memchr(text, '\n', length));
		size_t n = newline ? static_cast<size_t>(newline - text) + 1 : length;
		append(text, n);
		if (newline) {
			at_line_start = true;
			line_start = used;
		}
		text += n;
		length -= n;
	}
}

char *stderr_lines::line_slot(size_t length)
{
	size_t whole = prefix_length + length;
	if (!at_line_start || whole > sizeof buffer)
		return nullptr;
	if (used + whole > sizeof buffer) {
		write_out(used);
		used = 0;
	}
	memcpy(buffer + used, prefix, prefix_length);
	char *slot = buffer + used + prefix_length;
	used += whole;
	line_start = used;
	return slot;
}

void stderr_lines::finish()
{
	if (used > 0)
		write_out(used);
	used = 0;
	line_start = 0;
	at_line_start = true;
}

void stderr_writer(int level, const char *text, void *)
{
	if (!text)
		return;
	errno_saver saved;
	size_t length = strlen(text);
	const char *prefix = stderr_line_prefix(level);
	if (*prefix == '\0' || length == 0) {
		write_whole(text, length);
		return;
	}

	// Still one write: the prefix goes before every line.
	size_t prefix_length = strlen(prefix);
	size_t lines = 1;
	for (size_t i = 0; i + 1 < length; i++)
		if (text[i] == '\n')
			lines++;
	size_t size = length + lines * prefix_length;
	char small[PIPE_BUF];
	std::unique_ptr<char, free_deleter> large;
	char *out = small;
	if (size > sizeof small) {
		large.reset(static_cast<char *>(malloc(size)));
		if (!large) {
			// Whole lines in several writes rather than none.
			stderr_lines joined(prefix);
			joined.put(text, length);
			joined.finish();
			return;
		}
		out = large.get();
	}
	char *at = out;
	for (const char *line = text; line < text + length;) {
		const char *newline =
			static_cast<const char *>(memchr(line, '\n', length - (line - text)));
		size_t n = newline ? static_cast<size_t>(newline - line) + 1 : length - (line - text);
		memcpy(at, prefix, prefix_length);
		memcpy(at + prefix_length, line, n);
		at += prefix_length + n;
		line += n;
	}
	write_whole(out, size);
}
