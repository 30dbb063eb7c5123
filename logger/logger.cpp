// Log records: the logger object, the output pattern and its directives.
#include "logger/logger.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
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

// Writes text as snprintf's "%s" would: cut to room with a NUL, full length
// returned, nothing written into no room.
int put_text(char *out, size_t room, const char *text, size_t length)
{
	if (room != 0) {
		size_t n = length < room ? length : room - 1;
		memcpy(out, text, n);
		out[n] = '\0';
	}
	return static_cast<int>(length);
}

size_t name_excess(const char *name)
{
	size_t length = name ? strlen(name) : 0;
	return length > name_reserve ? length - name_reserve : 0;
}

// The local date and time of one whole second, per thread so that no lock
// guards it; keyed by the exact second, so the first record of a new second
// (or of an earlier one, after the clock was set back) converts afresh.
struct local_second {
	bool valid;
	time_t second;
	int length;
	char text[40];
};
thread_local local_second date_cache;

int render_date(char *out, size_t room)
{
	struct timeval now;
	if (gettimeofday(&now, nullptr) != 0)
		return -errno;
	local_second &cache = date_cache;
	if (!cache.valid || cache.second != now.tv_sec) {
		struct tm local;
		if (localtime_r(&now.tv_sec, &local) == nullptr)
			return -EOVERFLOW;
		int n = snprintf(cache.text, sizeof cache.text, "%04i.%02i.%02i %02i:%02i:%02i",
				 local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
				 local.tm_hour, local.tm_min, local.tm_sec);
		if (n < 0 || static_cast<size_t>(n) >= sizeof cache.text)
			return -EOVERFLOW;
		cache.valid = true;
		cache.second = now.tv_sec;
		cache.length = n;
	}
	// Seconds and milliseconds come from the one clock reading above.
	char text[sizeof cache.text + 4];
	memcpy(text, cache.text, static_cast<size_t>(cache.length));
	unsigned ms = static_cast<unsigned>(now.tv_usec / 1000);
	char *p = text + cache.length;
	p[0] = '.';
	p[1] = static_cast<char>('0' + ms / 100);
	p[2] = static_cast<char>('0' + ms / 10 % 10);
	p[3] = static_cast<char>('0' + ms % 10);
	return put_text(out, room, text, static_cast<size_t>(cache.length) + 4);
}

// getpid is a system call; the cached id is forgotten in every forked child.
std::atomic<pid_t> cached_pid{0};
pthread_once_t fork_watch = PTHREAD_ONCE_INIT;

void forget_pid()
{
	cached_pid.store(0, std::memory_order_relaxed);
}

void watch_forks()
{
	pthread_atfork(nullptr, nullptr, forget_pid);
}

pid_t current_pid()
{
	pid_t pid = cached_pid.load(std::memory_order_relaxed);
	if (pid == 0) {
		pthread_once(&fork_watch, watch_forks);
		pid = getpid();
		cached_pid.store(pid, std::memory_order_relaxed);
	}
	return pid;
}

// Decimal digits of value, written backwards from end; returns the start.
char *format_decimal(char *end, unsigned long value)
{
	do {
		*--end = static_cast<char>('0' + value % 10);
		value /= 10;
	} while (value != 0);
	return end;
}

int render_pid(char *out, size_t room)
{
	char digits[24];
	char *end = digits + sizeof digits;
	char *start = format_decimal(end, static_cast<unsigned>(current_pid()));
	return put_text(out, room, start, static_cast<size_t>(end - start));
}

int render_level(char *out, size_t room, const char *const *texts, int level)
{
	if (room == 0)
		return 0;
	if (level < LEVEL_NONE || level > LEVEL_DUMP)
		return -EINVAL;
	return put_text(out, room, texts[level], strlen(texts[level]));
}

int render_name(char *out, size_t room, const char *name)
{
	// As printf shows a null string.
	if (name == nullptr)
		name = "(null)";
	return put_text(out, room, name, strlen(name));
}

// Renders the pattern from p into out until the end of the pattern or its
// next %m; returns the bytes rendered or a negative number, and leaves p on
// the %m or the terminating NUL.
long render_until_message(const char *&p, char *out, size_t room, int level,
			  const char *file, int line, const char *function)
{
	size_t used = 0;
	for (; *p != '\0'; p++) {
		if (*p != '%') {
			if (room - used > 1)
				out[used++] = *p;
			continue;
		}
		if (p[1] == 'm')
			break;
		p++;
		int n = render_directive(out + used, room - used, *p, level, file, line, function);
		if (n < 0)
			return n;
		used += fitted(n, room - used);
	}
	out[used] = '\0';
	return static_cast<long>(used);
}

// The usual record has one %m and fits the buffer that earlier records left:
// the message is then formatted once, straight into place. Returns 1 when
// the record must take the measured path instead.
int render_in_place(logger *lgr, size_t base, int level, const char *file, int line,
		    const char *function, const char *format, va_list args)
{
	char *out = lgr->buffer;
	size_t size = lgr->buffer_size;
	if (out == nullptr || size <= base)
		return 1;
	const char *p = lgr->format;
	// A directive that cannot be rendered fails on the measured path, which
	// grows the buffer first, as every failing record does.
	long head = render_until_message(p, out, size, level, file, line, function);
	if (head < 0)
		return 1;
	size_t used = static_cast<size_t>(head);
	if (*p == '\0')
		return 1;
	va_list again;
	va_copy(again, args);
	int length = vsnprintf(out + used, size - used, format, again);
	va_end(again);
	if (length < 0)
		return -EINVAL;
	// The same size the measured path would need; a head past its reserve
	// leaves the cutting to that path.
	size_t needed = base + static_cast<size_t>(length) + 1;
	used += static_cast<size_t>(length);
	if (needed > size || used >= needed)
		return 1;
	p += 2;
	long tail = render_until_message(p, out + used, needed - used, level, file, line, function);
	return tail < 0 ? 1 : 0;
}

// Renders the stored pattern with the message for every %m into the record
// buffer, grown first to what the record needs.
int render_record(logger *lgr, int level, const char *file, int line,
		  const char *function, const char *format, va_list args)
{
	// Each further %m repeats the message; names may overrun their reserve.
	size_t names, messages, base;
	if (!pattern_excess(lgr->format, file, function, &names, &messages) ||
	    !add_size(lgr->format_reserve, names, &base))
		return -ENOMEM;
	if (messages == 1) {
		int result = render_in_place(lgr, base, level, file, line, function, format, args);
		if (result <= 0)
			return result;
	}

	va_list measure;
	va_copy(measure, args);
	int length = vsnprintf(nullptr, 0, format, measure);
	va_end(measure);
	if (length < 0)
		return -EINVAL;

	size_t repeats, needed;
	if (!mul_size(messages > 1 ? messages : 1, length, &repeats) ||
	    !add_size(base, repeats, &needed) || !add_size(needed, 1, &needed))
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
		return put_text(out, room, "%", 1);
	case 'D':
		return render_date(out, room);
	case 'F':
		return render_name(out, room, function);
	case 'f':
		return render_name(out, room, file);
	case 'l':
		return snprintf(out, room, "%d", line);
	case 'P':
		return render_pid(out, room);
	case 'T':
		return snprintf(out, room, "%lx", static_cast<unsigned long>(pthread_self()));
	case 't':
		return snprintf(out, room, "%lu", static_cast<unsigned long>(time(nullptr)));
	case 'n':
		return room == 0 ? 0 : put_text(out, room, "\n", 1);
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

// A freshly initialised logger is silent: no pattern, threshold 0, no writer.
static void reset_fields(logger *lgr)
{
	lgr->format = nullptr;
	lgr->format_reserve = 0;
	lgr->buffer = nullptr;
	lgr->buffer_size = 0;
	lgr->threshold = LEVEL_NONE;
	lgr->writer = nullptr;
	lgr->writer_data = nullptr;
}

int logger_init(logger *lgr)
{
	int error = pthread_mutex_init(&lgr->mutex, nullptr);
	if (error != 0)
		return -error;
	reset_fields(lgr);
	return 0;
}

int logger_destroy(logger *lgr)
{
	free(lgr->format);
	free(lgr->buffer);
	reset_fields(lgr);
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
		__atomic_store_n(&lgr->threshold, level, __ATOMIC_RELAXED);
}

void logger_set_writer(logger *lgr, logger_writer writer, void *data)
{
	mutex_lock lock(&lgr->mutex);
	if (lock.error == 0) {
		lgr->writer = writer;
		lgr->writer_data = data;
	}
}

namespace {

// Kept out of line so that a dropped record pays for no more than a call.
__attribute__((noinline)) int log_record(logger *lgr, int level, const char *file, int line,
					 const char *function, const char *format, va_list args)
{
	errno_saver saved;
	mutex_lock lock(&lgr->mutex);
	if (lock.error != 0)
		return -lock.error;
	if (level > lgr->threshold || lgr->format == nullptr)
		return 0;

	int result = render_record(lgr, level, file, line, function, format, args);
	if (result == 0 && lgr->writer != nullptr)
		lgr->writer(level, lgr->buffer, lgr->writer_data);
	return result;
}

} // namespace

int logger_log(logger *lgr, int level, const char *file, int line,
	       const char *function, const char *format, ...)
{
	// Most records are dropped: that costs no lock.
	if (!logger_passes(lgr, level))
		return 0;
	va_list args;
	va_start(args, format);
	int result = log_record(lgr, level, file, line, function, format, args);
	va_end(args);
	return result;
}
