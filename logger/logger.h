// Levelled log records rendered through a %-directive pattern, labelled hex
// dumps, and the writers that receive the rendered text.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr int LEVEL_NONE = 0;
constexpr int LEVEL_SERVICE = 1;
constexpr int LEVEL_ERROR = 2;
constexpr int LEVEL_WARNING = 3;
constexpr int LEVEL_INFO = 4;
constexpr int LEVEL_DEBUG = 5;
constexpr int LEVEL_DUMP = 6;

// Receives each rendered record, whole and NUL-terminated, with the logger's
// mutex held. The text is only valid until the call returns.
typedef void (*logger_writer)(int level, const char *text, void *data);

struct logger {
	pthread_mutex_t mutex;
	char *format;
	uint64_t format_reserve;
	char *buffer;
	uint64_t buffer_size;
	int32_t threshold;
	logger_writer writer;
	void *writer_data;
};

int logger_init(logger *lgr);
int logger_destroy(logger *lgr);
int logger_set_format(logger *lgr, const char *pattern);
void logger_set_level(logger *lgr, int level);
void logger_set_writer(logger *lgr, logger_writer writer, void *data);

int logger_log(logger *lgr, int level, const char *file, int line,
	       const char *function, const char *format, ...)
	__attribute__((format(printf, 6, 7)));

int logger_dump(logger *lgr, int level, const char *file, int line,
		const char *function, const void *data, size_t length,
		const char *format, ...)
	__attribute__((format(printf, 8, 9)));

// Writes each record to descriptor 2 in one write. A dump's lines are joined
// into writes of at most PIPE_BUF bytes that end at line ends instead. When
// standard error is the journal (JOURNAL_STREAM names descriptor 2), every
// line starts with the level's syslog priority, "<3>" for ERROR.
void stderr_writer(int level, const char *text, void *data);
// Decides again whether standard error is the journal, as after daemon()
// pointed it elsewhere; the first record decides by itself.
bool detect_stderr_journal();

// Whether the threshold lets a record of this level through. Read without the
// lock, so that a call site pays one comparison for a record that is dropped.
inline bool logger_passes(logger *lgr, int level)
{
	return level <= __atomic_load_n(&lgr->threshold, __ATOMIC_RELAXED);
}

// A log call that skips the call, and its arguments, for a dropped record.
#define LOGGER_LOG(lgr, level, file, function, ...)                              \
	(logger_passes((lgr), (level))                                           \
		 ? logger_log((lgr), (level), (file), __LINE__, (function), __VA_ARGS__) \
		 : 0)

// The record of a failed call, in the one shape all of them take:
// "<text>: -err: strerror(err)". log is a wrapper of LOGGER_LOG such as
// NET_LOG, so that the record names the caller's function. err is read twice.
#define LOGGER_LOG_ERRNO(log, level, text, err) log((level), text ": %i: %s", -(err), strerror(err))

// Writers for the system log and for per-process log files.
struct log_file_settings {
	const char *base_dir;
	const char *dir_prefix;
	const char *file_prefix;
};

void syslog_writer(int level, const char *text, void *data);
void logfile_writer(int level, const char *text, void *data);

// Reads "log level" from a section of an ini-style file: a threshold 0 to 5,
// or a negated errno value:
//   -ENOENT  the setting is absent, the file is empty or does not exist
//   -EISDIR  the path names a directory
//   -EINVAL  a syntax error, a duplicate section or key, a bad value, a null
//            argument, or a path that is no regular file (FIFO, device)
//   -EFBIG   the file is larger than 1 MiB
//   -ENOMEM  no memory for its content
//   -EIO     the file shrank while it was read
//   any other negated errno of open, fstat or read.
// It never blocks on what the path names, and checks the kind and size of
// the file before it reads any of it.
int read_log_level(const char *path, const char *section);
char *trim_line(char *line);
