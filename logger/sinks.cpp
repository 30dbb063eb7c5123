// Writers for the system log and for per-process log files.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/unique_fd.h"
#include "logger/logger.h"

namespace {

constexpr size_t PATH_BUFFER_SIZE = 4096;

// A formatted length of 0, or one that did not fit, drops the record.
bool fits(int length)
{
	return length > 0 && static_cast<size_t>(length) < PATH_BUFFER_SIZE;
}

// Another user may have planted the per-user directory under a shared base:
// only a real directory of our own that nobody else can write is trusted.
bool trusted_directory(int dirfd, uid_t euid)
{
	struct stat st;
	if (fstat(dirfd, &st) != 0)
		return false;
	return S_ISDIR(st.st_mode) && st.st_uid == euid &&
	       (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void write_all(int fd, const char *text)
{
	size_t left = strlen(text);
	while (left > 0) {
		ssize_t n = write(fd, text, left);
		if (n < 0 && errno == EINTR)
			continue;
		// A write that makes no progress would otherwise loop forever.
		if (n <= 0)
			return;
		text += n;
		left -= static_cast<size_t>(n);
	}
}

} // namespace

void syslog_writer(int level, const char *text, void *)
{
	// Hex dumps never reach the system log.
	if (level == LEVEL_NONE || level == LEVEL_DUMP || !text)
		return;
	syslog(LOG_DEBUG, "%s", text);
}

void logfile_writer(int, const char *text, void *data)
{
	const auto *settings = static_cast<const log_file_settings *>(data);
	if (!text || !settings || !settings->base_dir || !settings->dir_prefix ||
	    !settings->file_prefix)
		return;

	uid_t euid = geteuid();
	const passwd *pw = getpwuid(euid);
	if (!pw || !pw->pw_name)
		return;

	char path[PATH_BUFFER_SIZE];
	int dir_length = snprintf(path, sizeof(path), "%s/%s-%s",
				  settings->base_dir, settings->dir_prefix,
				  pw->pw_name);
	if (!fits(dir_length))
		return;
	if (mkdir(path, 0700) != 0 && errno != EEXIST)
		return;

	// Check and use the same directory, so it cannot be swapped in between.
	unique_fd dir(open(path, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
	if (dir.get() < 0 || !trusted_directory(dir.get(), euid))
		return;

	int length = snprintf(path, sizeof(path), "%s/%s-%s/%s-%llu.log",
			      settings->base_dir, settings->dir_prefix,
			      pw->pw_name, settings->file_prefix,
			      static_cast<unsigned long long>(getpid()));
	if (!fits(length))
		return;

	unique_fd file(openat(dir.get(), path + dir_length + 1,
			      O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
			      0600));
	if (file.get() < 0)
		return;
	write_all(file.get(), text);
}
