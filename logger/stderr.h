// The standard-error writer's line joiner, which the dump shares; not installed.
#pragma once

#include <climits>
#include <cstddef>

// The journal's "<N>" priority for a record of this level when standard
// error is the journal, and "" otherwise.
const char *stderr_line_prefix(int level);

// Joins the text of one record into writes on standard error of at most
// PIPE_BUF bytes, each ending at a line end, so that on a pipe or the
// journal's socket no other process can write into the middle of a line.
// Only a line that alone exceeds PIPE_BUF is split. Every line starts with
// the prefix.
class stderr_lines {
public:
	explicit stderr_lines(const char *prefix);
	stderr_lines(const stderr_lines &) = delete;
	stderr_lines &operator=(const stderr_lines &) = delete;

	void put(const char *text, size_t length);
	// Room for one whole line of length bytes, its line feed included, at
	// the start of a line; null when it cannot take one there.
	char *line_slot(size_t length);
	// Writes what is held; the record ends here.
	void finish();
	bool failed() const { return write_failed; }

private:
	void append(const char *text, size_t length);
	void make_room();
	void write_out(size_t length);

	const char *prefix;
	size_t prefix_length;
	size_t used = 0;
	// Where the line being added starts; what lies before it is whole lines.
	size_t line_start = 0;
	bool at_line_start = true;
	bool write_failed = false;
	char buffer[PIPE_BUF];
};
