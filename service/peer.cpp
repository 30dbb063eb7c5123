// A connection child becomes the user who connected, with that user's
// desktop-session variables and nothing else of its environment.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/unique_fd.h"
#include "logger/quote.h"
#include "service/environ.h"
#include "service/service.h"

// Its helpers' records, too, belong to the one operation callers know.
#define PEER_LOG(level, ...) LOGGER_LOG(plgr, (level), "main", "change_environ", __VA_ARGS__)

namespace {

// Most desktop sessions' environments fit: one read takes it whole and a
// second sees its end.
constexpr size_t ENVIRON_FIRST_SIZE = 8192;

// Handed to putenv in place, so it stays for the life of the process.
char *peer_environ = nullptr;

// Reads the whole file into peer_environ; returns the byte count or -1.
ssize_t read_environ(int fd)
{
	size_t count = 0;
	size_t size = 0;
	for (;;) {
		if (count == size) {
			// Doubled, so that a large environment costs few reads and copies.
			size = size == 0 ? ENVIRON_FIRST_SIZE : size * 2;
			char *grown = static_cast<char *>(realloc(peer_environ, size));
			if (!grown) {
				PEER_LOG(LEVEL_ERROR, "out of memory");
				free(peer_environ);
				peer_environ = nullptr;
				return -1;
			}
			peer_environ = grown;
		}

		ssize_t got = read(fd, peer_environ + count, size - count);
		if (got < 0) {
			int err = errno;
			PEER_LOG(LEVEL_ERROR, "unable to read: %i: %s", -err, strerror(err));
			free(peer_environ);
			peer_environ = nullptr;
			return -1;
		}
		if (got == 0)
			return static_cast<ssize_t>(count);
		count += static_cast<size_t>(got);
	}
}

// What a caller's mount namespace and root directory are compared with.
constexpr const char *OWN_LINKS[] = {"/proc/self/ns/mnt", "/proc/self/root"};
constexpr const char *PEER_LINKS[] = {"ns/mnt", "root"};
struct file_id {
	dev_t dev;
	ino_t ino;
};
// Noted by the service before it forks: a child that looked itself up under
// /proc would make entries there that the service must tear down at the reap.
file_id own_links[2];
bool own_links_known = false;

int own_link(size_t i, file_id *id)
{
	if (own_links_known) {
		*id = own_links[i];
		return 0;
	}
	struct stat st;
	if (stat(OWN_LINKS[i], &st) != 0)
		return -errno;
	*id = {st.st_dev, st.st_ino};
	return 0;
}

// 1 when the process behind the /proc directory has a mount namespace or a
// root directory other than ours, 0 when not, or a negated errno.
int peer_confined(int dir)
{
	for (size_t i = 0; i < std::size(PEER_LINKS); i++) {
		struct stat theirs;
		file_id ours {};
		if (fstatat(dir, PEER_LINKS[i], &theirs, 0) != 0)
			return -errno;
		if (int r = own_link(i, &ours); r != 0)
			return r;
		if (theirs.st_dev != ours.dev || theirs.st_ino != ours.ino)
			return 1;
	}
	return 0;
}

// The home directory the user database gives the user, in place of the one a
// confined caller names; without an entry there is no HOME at all.
void put_database_home(uid_t uid)
{
	const passwd *entry = getpwuid(uid);
	if (!entry || !entry->pw_dir)
		return;
	if (setenv("HOME", entry->pw_dir, 1) != 0) {
		int err = errno;
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to set environ", err);
		return;
	}
	PEER_LOG(LEVEL_DEBUG, "putenv: %s", log_quote(std::string("HOME=") + entry->pw_dir).c_str());
}

// Whether this process already has exactly these supplementary groups.
bool same_groups(const gid_t *groups, size_t count)
{
	gid_t own[64];
	int n = getgroups(64, own);
	if (n < 0 || static_cast<size_t>(n) != count)
		return false;
	return std::equal(groups, groups + count, own);
}

// The groups of the process that connected, as the kernel took them at
// connect time: a caller that gave up a group must not get it back from the
// user database.
int set_peer_groups(int fd)
{
	gid_t small[64];
	std::unique_ptr<gid_t[]> large;
	gid_t *groups = small;
	socklen_t length = sizeof(small);
	int r = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &length);
	if (r != 0 && errno == ERANGE) {
		// The kernel has told us the size it needs.
		large.reset(new (std::nothrow) gid_t[length / sizeof(gid_t)]);
		if (!large) {
			PEER_LOG(LEVEL_ERROR, "out of memory");
			return -1;
		}
		groups = large.get();
		r = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &length);
	}
	if (r != 0) {
		int err = errno;
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to get groups", err);
		return -1;
	}
	size_t count = length / sizeof(gid_t);
	if (same_groups(groups, count))
		return 0;
	if (setgroups(count, groups) != 0) {
		int err = errno;
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to set groups", err);
		return -1;
	}
	return 0;
}

} // namespace

int note_own_root()
{
	for (size_t i = 0; i < std::size(OWN_LINKS); i++)
		if (int r = own_link(i, &own_links[i]); r != 0)
			return r;
	own_links_known = true;
	return 0;
}

int change_environ(int fd)
{
	ucred cred;
	socklen_t cred_length = sizeof(cred);
	if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_length) != 0) {
		PEER_LOG(LEVEL_ERROR, "unable to get options: %i", -errno);
		return -1;
	}

	// By hand: the formatting machinery of printf is pages a child would fault in.
	char path[32] = "/proc/";
	*std::to_chars(path + 6, path + sizeof(path) - 1, cred.pid).ptr = '\0';

	// Everything below is read through this one directory, so all of it
	// belongs to the process whose owner is checked.
	unique_fd dir(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (dir.get() == -1) {
		int err = errno;
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to open", err);
		return -1;
	}
	unique_fd file(openat(dir.get(), "environ", O_RDONLY | O_CLOEXEC));
	if (file.get() == -1) {
		int err = errno;
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to open", err);
		return -1;
	}
	// The pid may have been reused since connect: never read another user's
	// session. The file, unlike the directory, is root's while the process is
	// not dumpable.
	struct stat st;
	int refused = fstat(file.get(), &st) != 0 ? errno : st.st_uid != cred.uid ? EPERM : 0;
	if (refused != 0) {
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to verify peer", refused);
		return -1;
	}
	int confined = peer_confined(dir.get());
	if (confined < 0) {
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to verify peer", -confined);
		return -1;
	}
	dir.reset();
	// Root that sees other files could name them to the opener, which runs as
	// root outside its confinement.
	if (confined && cred.uid == 0) {
		PEER_LOG(LEVEL_WARNING, "refused pid %i: root in another mount namespace or root directory",
			 cred.pid);
		return -1;
	}
	if (confined)
		PEER_LOG(LEVEL_INFO, "pid %i is confined: only its display and session variables are taken",
			 cred.pid);

	ssize_t read_count = read_environ(file.get());
	if (read_count < 0)
		return -1;
	size_t count = static_cast<size_t>(read_count);
	file.reset();

	if (set_peer_groups(fd) != 0)
		return -1;
	if (cred.gid != getgid() && setgid(cred.gid) != 0) {
		int err = errno;
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to set group", err);
		return -1;
	}
	if (cred.uid != getuid()) {
		if (setuid(cred.uid) != 0) {
			int err = errno;
			LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to set user", err);
			return -1;
		}
		// Verify the drop of root was complete.
		if (setuid(0) == 0) {
			PEER_LOG(LEVEL_ERROR, "unable to drop privileges");
			return -1;
		}
	}

	if (clearenv() != 0) {
		PEER_LOG(LEVEL_WARNING, "unable to clear environ");
		environ = nullptr;
	}
	if (put_environ_entries(plgr, peer_environ, count, confined) != 0)
		return -1;
	if (confined)
		put_database_home(cred.uid);
	return 0;
}
