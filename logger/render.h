// Internals that the record and dump renderers share; not installed.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

#include "logger/logger.h"

// Writes one directive other than %m and a NUL within room; returns the
// length of its whole text, or a negative number when it cannot be rendered.
int render_directive(char *out, size_t room, char directive, int level,
		     const char *file, int line, const char *function);

// What a rendering of a stored pattern needs beyond its reserve: the bytes
// by which file and function names overrun the 64 reserved for them, and the
// number of %m. False when the count overflows.
bool pattern_excess(const char *pattern, const char *file,
		    const char *function, size_t *names, size_t *messages);

// How far to move past a text of length n written into room bytes (room of
// at least 1): a text that did not fit is cut so the NUL stays in the block.
inline size_t fitted(int n, size_t room)
{
	return static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

inline bool add_size(size_t a, size_t b, size_t *sum)
{
	return !__builtin_add_overflow(a, b, sum);
}

inline bool mul_size(size_t a, size_t b, size_t *product)
{
	return !__builtin_mul_overflow(a, b, product);
}

// Callers may log and then still read errno.
class errno_saver {
public:
	errno_saver() : saved(errno) {}
	~errno_saver() { errno = saved; }
	errno_saver(const errno_saver &) = delete;
	errno_saver &operator=(const errno_saver &) = delete;

private:
	int saved;
};

// Holds the mutex for a scope; error is what the lock returned.
class mutex_lock {
public:
	explicit mutex_lock(pthread_mutex_t *m) : mutex(m), error(pthread_mutex_lock(m)) {}
	~mutex_lock()
	{
		if (error == 0)
			pthread_mutex_unlock(mutex);
	}
	mutex_lock(const mutex_lock &) = delete;
	mutex_lock &operator=(const mutex_lock &) = delete;

	pthread_mutex_t *const mutex;
	const int error;
};
