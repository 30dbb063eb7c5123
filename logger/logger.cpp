// Log records: the logger object, the output pattern and its directives.
#include "logger/logger.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "logger/render.h"

namespace {

constexpr size_t name_reserve = 64;

constexpr const char *level_names[] = {"", "SERVICE", "ERROR", "WARNING", "INFO", "DEBUG", "DUMP"};
constexpr const char *level_letters[] = {"", "S", "E", "W", "I", "D", "H"};

// Bytes a directive reserves in one rendering, or -1 for no directive.
int directive_reserve(char directive)
{
	switch (directive) {
	case '%':
	case 'n':
	case 'v':
		return 1;
	case 'V':
		return 8;
	case 'D':
	case 'l':
	case 'P':
	case 'T':
	case 't':
		return 24;
	case 'F':
	case 'f':
		return name_reserve;
	case 'm':
		return 0;
	default:
		return -1;
	}
}

size_t name_excess(const char *name)
{
	size_t length = name ? strlen(name) : 0;
	return length > name_reserve ? length - name_reserve : 0;
}

int render_date(char *out, size_t room)
{
	struct timeval now;
	if (gettimeofday(&now, nullptr) != 0)
		return -errno;
	struct tm local;
	if (localtime_r(&now.tv_sec, &local) == nullptr)
		return -EOVERFLOW;
	return snprintf(out, room, "%04i.%02i.%02i %02i:%02i:%02i.%03i",
			local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
			local.tm_hour, local.tm_min, local.tm_sec,
			static_cast<int>(now.tv_usec / 1000));
}

int render_level(char *out, size_t room, const char *const *texts, int level)
{
	if (room == 0)
		return 0;
	if (level < LEVEL_NONE || level > LEVEL_DUMP)
		return -EINVAL;
	return snprintf(out, room, "%s", texts[level]);
}

// Renders the stored pattern with the message for every %m into the record
// buffer, grown first to what the record needs.
int render_record(logger *lgr, int level, const char *file, int line,
		  const char *function, const char *format, va_list args)
{
	va_list measure;
	va_copy(measure, args);
	int length = vsnprintf(nullptr, 0, format, measure);
	va_end(measure);
	if (length < 0)
		return -EINVAL;

	// Each further %m repeats the message; names may overrun their reserve.
	size_t names, messages, repeats, needed;
	if (!pattern_excess(lgr->format, file, function, &names, &messages) ||
	    !mul_size(messages > 1 ? messages : 1, length, &repeats) ||
	    !add_size(lgr->format_reserve, names, &needed) ||
	    !add_size(needed, repeats, &needed) || !add_size(needed, 1, &needed))
		return -ENOMEM;
	if (needed > lgr->buffer_size) {
		char *grown = static_cast<char *>(realloc(lgr->buffer, needed));
		if (grown == nullptr)
			return -ENOMEM;
		lgr->buffer = grown;
		lgr->buffer_size = needed;
	}

	char *out = lgr->buffer;
	size_t used = 0;
	for (const char *p = lgr->format; *p != '\0'; p++) {
		size_t room = needed - used;
		if (*p != '%') {
			if (room > 1)
				out[used++] = *p;
			continue;
		}
		int n;
		if (*++p == 'm') {
			va_list again;
			va_copy(again, args);
			n = vsnprintf(out + used, room, format, again);
			va_end(again);
		} else {
			n = render_directive(out + used, room, *p, level, file, line, function);
		}
		if (n < 0)
			return -EINVAL;
		used += fitted(n, room);
	}
	out[used] = '\0';
	return 0;
}

} // namespace

int render_directive(char *out, size_t room, char directive, int level,
		     const char *file, int line, const char *function)
{
	switch (directive) {
	case '%':
		return snprintf(out, room, "%%");
	case 'D':
		return render_date(out, room);
	case 'F':
		return snprintf(out, room, "%s", function);
	case 'f':
		return snprintf(out, room, "%s", file);
	case 'l':
		return snprintf(out, room, "%d", line);
	case 'P':
		return snprintf(out, room, "%u", static_cast<unsigned>(getpid()));
	case 'T':
		return snprintf(out, room, "%lx", static_cast<unsigned long>(pthread_self()));
	case 't':
		return snprintf(out, room, "%lu", static_cast<unsigned long>(time(nullptr)));
	case 'n':
		return room == 0 ? 0 : snprintf(out, room, "\n");
	case 'V':
		return render_level(out, room, level_names, level);
	case 'v':
		return render_level(out, room, level_letters, level);
	default:
		return -EINVAL;
	}
}

bool pattern_excess(const char *pattern, const char *file,
		    const char *function, size_t *names, size_t *messages)
{
	size_t file_excess = name_excess(file);
	size_t function_excess = name_excess(function);
	*names = 0;
	*messages = 0;
	for (const char *p = pattern; *p != '\0'; p++) {
		if (*p != '%')
			continue;
		p++;
		if (*p == 'm')
			(*messages)++;
		else if ((*p == 'f' && !add_size(*names, file_excess, names)) ||
			 (*p == 'F' && !add_size(*names, function_excess, names)))
			return false;
	}
	return true;
}

int logger_init(logger *lgr)
{
	int error = pthread_mutex_init(&lgr->mutex, nullptr);
	if (error != 0)
		return -error;
	lgr->format = nullptr;
	lgr->format_reserve = 0;
	lgr->buffer = nullptr;
	lgr->buffer_size = 0;
	lgr->threshold = LEVEL_NONE;
	lgr->writer = nullptr;
	lgr->writer_data = nullptr;
	return 0;
}

int logger_destroy(logger *lgr)
{
	free(lgr->format);
	free(lgr->buffer);
	lgr->format = nullptr;
	lgr->format_reserve = 0;
	lgr->buffer = nullptr;
	lgr->buffer_size = 0;
	lgr->threshold = LEVEL_NONE;
	lgr->writer = nullptr;
	lgr->writer_data = nullptr;
	return pthread_mutex_destroy(&lgr->mutex);
}

int logger_set_format(logger *lgr, const char *pattern)
{
	mutex_lock lock(&lgr->mutex);
	if (lock.error != 0)
		return -lock.error;
	if (pattern == nullptr) {
		free(lgr->format);
		lgr->format = nullptr;
		lgr->format_reserve = 0;
		return 0;
	}

	// Validate completely first so a rejected pattern never replaces a working one.
	uint64_t reserve = 0;
	size_t length = 0;
	for (; pattern[length] != '\0'; length++) {
		if (pattern[length] != '%') {
			reserve++;
			continue;
		}
		int directive = directive_reserve(pattern[++length]);
		if (directive < 0)
			return -EINVAL;
		reserve += directive;
	}

	// A fresh copy, since the caller may hand back our own.
	char *copy = static_cast<char *>(malloc(length + 1));
	if (copy == nullptr)
		return -ENOMEM;
	memcpy(copy, pattern, length + 1);
	free(lgr->format);
	lgr->format = copy;
	lgr->format_reserve = reserve;
	return 0;
}

void logger_set_level(logger *lgr, int level)
{
	mutex_lock lock(&lgr->mutex);
	if (lock.error == 0)
		lgr->threshold = level;
}

void logger_set_writer(logger *lgr, logger_writer writer, void *data)
{
	mutex_lock lock(&lgr->mutex);
	if (lock.error == 0) {
		lgr->writer = writer;
		lgr->writer_data = data;
	}
}

int logger_log(logger *lgr, int level, const char *file, int line,
	       const char *function, const char *format, ...)
{
	errno_saver saved;
	mutex_lock lock(&lgr->mutex);
	if (lock.error != 0)
		return -lock.error;
	if (level > lgr->threshold || lgr->format == nullptr)
		return 0;

	va_list args;
	va_start(args, format);
	int result = render_record(lgr, level, file, line, function, format, args);
	va_end(args);
	if (result == 0 && lgr->writer != nullptr)
		lgr->writer(level, lgr->buffer, lgr->writer_data);
	return result;
}

void stderr_writer(int, const char *text, void *)
{
	fputs(text, stderr);
}
