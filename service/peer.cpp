// A connection child becomes the user who connected, with that user's
// desktop-session variables and nothing else of its environment.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <linux/nsfs.h>
#include <sys/ioctl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

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

void forget_environ()
{
	free(peer_environ);
	peer_environ = nullptr;
}

// Reads the file into peer_environ, at most one byte more than a caller may
// send; returns the byte count or -1.
ssize_t read_environ(int fd)
{
	size_t count = 0;
	size_t size = 0;
	for (;;) {
		if (count == size) {
			if (size > ENVIRON_MAX_BYTES)
				return static_cast<ssize_t>(count);
			// Doubled, so that a large environment costs few reads and copies.
			size = std::min(size == 0 ? ENVIRON_FIRST_SIZE : size * 2, ENVIRON_MAX_BYTES + 1);
			char *grown = static_cast<char *>(realloc(peer_environ, size));
			if (!grown) {
				PEER_LOG(LEVEL_ERROR, "out of memory");
				forget_environ();
				return -1;
			}
			peer_environ = grown;
		}

		ssize_t got = read(fd, peer_environ + count, size - count);
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0) {
			int err = errno;
			PEER_LOG(LEVEL_ERROR, "unable to read: %i: %s", -err, strerror(err));
			forget_environ();
			return -1;
		}
		if (got == 0)
			return static_cast<ssize_t>(count);
		count += static_cast<size_t>(got);
	}
}

// Refuses what no desktop session holds before any time is spent on it.
bool environ_within_bounds(size_t count)
{
	if (count > ENVIRON_MAX_BYTES) {
		PEER_LOG(LEVEL_ERROR, "environment too large: more than %zu bytes", ENVIRON_MAX_BYTES);
		return false;
	}
	size_t entries = static_cast<size_t>(std::count(peer_environ, peer_environ + count, '\0'));
	if (count > 0 && peer_environ[count - 1] != '\0')
		entries++;
	if (entries > ENVIRON_MAX_ENTRIES) {
		PEER_LOG(LEVEL_ERROR, "environment too large: more than %zu entries", ENVIRON_MAX_ENTRIES);
		return false;
	}
	return true;
}

// What a caller's namespaces and root directory are compared with.
enum own_link_index { OWN_MNT, OWN_ROOT, OWN_USER };
constexpr const char *OWN_LINKS[] = {"/proc/self/ns/mnt", "/proc/self/root", "/proc/self/ns/user"};
constexpr const char *PEER_LINKS[] = {"ns/mnt", "root"};
struct file_id {
	dev_t dev;
	ino_t ino;
};
// Noted by the service before it forks: a child that looked itself up under
// /proc would make entries there that the service must tear down at the reap.
file_id own_links[std::size(OWN_LINKS)];
bool own_links_known = false;
// The service's audit login uid, as its file reads; "" when not known.
char own_login_uid[16];
// Whether the caller the service last looked at before a fork is in a user
// namespace of its own: the child needs not look again.
pid_t counted_peer = 0;
bool counted_peer_other_user_namespace = false;

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

// 1 when the file is the service's own of that kind, 0 when not, or a negated errno.
int is_own(size_t i, const struct stat &st)
{
	file_id ours {};
	if (int r = own_link(i, &ours); r != 0)
		return r;
	return st.st_dev == ours.dev && st.st_ino == ours.ino;
}

// "/proc/PID" and what follows, by hand: the formatting machinery of printf
// is pages a child would fault in.
struct proc_path {
	char text[64] = "/proc/";
	proc_path(pid_t pid, const char *rest = "")
	{
		char *end = std::to_chars(text + 6, text + 32, pid).ptr;
		strcpy(end, rest);
	}
};

// 1 when the process behind the /proc directory has a mount namespace or a
// root directory other than ours, 0 when not, or a negated errno.
int sees_other_files(int dir)
{
	for (size_t i = 0; i < std::size(PEER_LINKS); i++) {
		struct stat theirs;
		if (fstatat(dir, PEER_LINKS[i], &theirs, 0) != 0)
			return -errno;
		int own = is_own(i, theirs);
		if (own <= 0)
			return own < 0 ? own : 1;
	}
	return 0;
}

// Hands each line of a file under /proc to visit, which returns true to
// stop: 1 then, 0 at the end of the file, or a negated errno. Read in
// pieces: a line longer than the buffer, such as a long list of groups, is
// skipped, not held.
template <class Visit> int each_line(int file, Visit visit)
{
	// A status file whole in one read.
	char buffer[4096];
	size_t held = 0;
	bool skipping = false;
	for (;;) {
		ssize_t got = read(file, buffer + held, sizeof buffer - held);
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0)
			return -errno;
		if (got == 0)
			return 0;
		char *line = buffer;
		char *end = buffer + held + got;
		while (char *newline = static_cast<char *>(memchr(line, '\n', end - line))) {
			if (!skipping && visit(std::string_view(line, static_cast<size_t>(newline - line))))
				return 1;
			skipping = false;
			line = newline + 1;
		}
		held = static_cast<size_t>(end - line);
		if (held == sizeof buffer) {
			skipping = true;
			held = 0;
		}
		memmove(buffer, line, held);
	}
}

// 1 when the process behind the /proc directory is in a user namespace other
// than ours, as sandboxes put themselves to apply a policy without no new
// privileges; 0 when not, or a negated errno.
int other_user_namespace(int dir)
{
	struct stat st;
	if (fstatat(dir, "ns/user", &st, 0) != 0)
		return -errno;
	int own = is_own(OWN_USER, st);
	return own < 0 ? own : !own;
}

// 1 when the process's status shows a policy that confines it (no new
// privileges, or a seccomp mode), 0 when not, or a negated errno.
int status_confined(int dir)
{
	unique_fd file(openat(dir, "status", O_RDONLY | O_CLOEXEC));
	if (file.get() == -1)
		return -errno;
	return each_line(file.get(), status_line_confines);
}

// 1 when the security module's label of the peer, taken at connect, confines
// it, 0 when not or when there is no such module, or a negated errno.
int label_confined(int fd)
{
	char label[4096];
	socklen_t length = sizeof label;
	if (getsockopt(fd, SOL_SOCKET, SO_PEERSEC, label, &length) != 0) {
		if (errno == ENOPROTOOPT)
			return 0;
		// A label too long to read is no reason to trust the caller.
		return errno == ERANGE ? 1 : -errno;
	}
	return label_confines({label, std::min<size_t>(length, sizeof label)});
}

// An address for the path, abstract when the first byte of it is a NUL; 0
// when it does not fit.
socklen_t unix_address(std::string_view path, sockaddr_un *address)
{
	*address = {};
	address->sun_family = AF_UNIX;
	if (path.size() >= sizeof address->sun_path)
		return 0;
	memcpy(address->sun_path, path.data(), path.size());
	return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
				      (path[0] == '\0' ? 0 : 1));
}

// The socket inodes the process behind the /proc directory holds, sorted.
// Throws bad_alloc.
bool held_sockets(int dir, std::vector<ino_t> *held)
{
	int fds = openat(dir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fds == -1)
		return false;
	struct dir_closer {
		void operator()(DIR *d) const { closedir(d); }
	};
	std::unique_ptr<DIR, dir_closer> list(fdopendir(fds));
	if (!list) {
		close(fds);
		return false;
	}
	while (const dirent *entry = readdir(list.get())) {
		char target[64];
		ssize_t n = readlinkat(fds, entry->d_name, target, sizeof target - 1);
		std::string_view link(target, n > 0 ? static_cast<size_t>(n) : 0);
		unsigned long inode = 0;
		if (link.starts_with("socket:[") && link.ends_with("]") &&
		    std::from_chars(link.data() + 8, link.data() + n - 1, inode).ec == std::errc())
			held->push_back(static_cast<ino_t>(inode));
	}
	std::sort(held->begin(), held->end());
	return true;
}

// Whether a socket bound to the name (abstract when it starts with a NUL)
// and listening is among the held ones. Asked of the kernel's socket
// diagnostics, which give names as bytes: a name that another process
// binds cannot pose as another socket, as it can as a line of
// /proc/net/unix, and however many sockets share a name, each is seen.
bool listens_among(std::string_view name, const std::vector<ino_t> &held)
{
	unique_fd diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
	if (diag.get() == -1)
		return false;
	struct {
		nlmsghdr header;
		unix_diag_req request;
	} query {};
	query.header.nlmsg_len = sizeof query;
	query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
	query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
	query.request.sdiag_family = AF_UNIX;
	query.request.udiag_states = 1 << TCP_LISTEN;
	query.request.udiag_show = UDIAG_SHOW_NAME;
	if (send(diag.get(), &query, sizeof query, 0) != static_cast<ssize_t>(sizeof query))
		return false;
	alignas(nlmsghdr) char buffer[16384];
	bool found = false;
	for (;;) {
		ssize_t got = recv(diag.get(), buffer, sizeof buffer, 0);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0)
			return false;
		for (auto *h = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(h, got); h = NLMSG_NEXT(h, got)) {
			if (h->nlmsg_type == NLMSG_DONE)
				return found;
			if (h->nlmsg_type == NLMSG_ERROR)
				return false;
			auto *socket_info = static_cast<unix_diag_msg *>(NLMSG_DATA(h));
			ssize_t left = static_cast<ssize_t>(h->nlmsg_len) -
				       static_cast<ssize_t>(NLMSG_LENGTH(sizeof *socket_info));
			for (auto *a = reinterpret_cast<rtattr *>(socket_info + 1); RTA_OK(a, left);
			     a = RTA_NEXT(a, left)) {
				if (a->rta_type != UNIX_DIAG_NAME)
					continue;
				std::string_view bound(static_cast<const char *>(RTA_DATA(a)), RTA_PAYLOAD(a));
				// A path's name comes with its NUL.
				if (!bound.empty() && bound[0] != '\0' && bound.back() == '\0')
					bound.remove_suffix(1);
				if (bound == name && std::binary_search(held.begin(), held.end(),
									static_cast<ino_t>(socket_info->udiag_ino)))
					found = true;
			}
		}
	}
}

// Whether the security module's label of the process behind the /proc
// directory confines it; where it cannot be read, it is taken to.
bool label_of_confines(int dir)
{
	unique_fd file(openat(dir, "attr/current", O_RDONLY | O_CLOEXEC));
	char label[4096];
	ssize_t n = file.get() == -1 ? -1 : read(file.get(), label, sizeof label);
	// No security module answers for it.
	if (n < 0 && (errno == EINVAL || errno == ENOENT || errno == EOPNOTSUPP))
		return false;
	return n < 0 || label_confines({label, static_cast<size_t>(n)});
}

// Whether the process listening on the name may be handed a confined
// caller's windows: 1 when it is one of the user's or root's that sees the
// files the service sees, is itself confined in none of the ways a caller
// can be, and still holds the socket; 0 when it is another, or a negated
// errno when nothing listens there. An abstract name has no owner but its
// listener, and a sandbox may bind one and run a display of its own there.
// The listener's pid is the one that called listen(), which may have ended
// since and its pid gone to another process.
int listener_trusted(std::string_view name, uid_t uid)
{
	sockaddr_un address;
	socklen_t length = unix_address(name, &address);
	if (length == 0 || name.find_first_of(" \t\n") != std::string_view::npos)
		return 0;
	unique_fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
	if (probe.get() == -1 ||
	    connect(probe.get(), reinterpret_cast<const sockaddr *>(&address), length) != 0)
		return -errno;
	ucred listener;
	socklen_t cred_length = sizeof listener;
	if (getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &listener, &cred_length) != 0)
		return 0;
	if (listener.pid <= 0 || (listener.uid != uid && listener.uid != 0))
		return 0;
	// Looked at through one directory, so that all of it is one process's.
	unique_fd dir(open(proc_path(listener.pid).text, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (dir.get() == -1 || sees_other_files(dir.get()) != 0 || other_user_namespace(dir.get()) != 0 ||
	    status_confined(dir.get()) != 0 || label_of_confines(dir.get()))
		return 0;
	try {
		std::vector<ino_t> held;
		return held_sockets(dir.get(), &held) && listens_among(name, held);
	} catch (const std::bad_alloc &) {
		return 0;
	}
}

bool x_display_trusted(std::string_view number, uid_t uid)
{
	// Only the abstract name, which X clients try first: a display served
	// only on the path leaves that name free for any process to bind later,
	// between this check and the opener's start.
	std::string name = std::string(1, '\0') + "/tmp/.X11-unix/X" + std::string(number);
	return listener_trusted(name, uid) == 1;
}

bool wayland_display_trusted(std::string_view name, uid_t uid)
{
	return listener_trusted("/run/user/" + std::to_string(uid) + "/" + std::string(name), uid) == 1;
}

// The value of a NAME=value entry.
std::string_view value_of(const char *entry)
{
	std::string_view text(entry);
	size_t equals = text.find('=');
	return equals == std::string_view::npos ? std::string_view() : text.substr(equals + 1);
}

// Which of a confined caller's display entries name a display it may have,
// checked while the child is still root, which may look at any listener.
confined_displays check_displays(size_t count, uid_t uid)
{
	confined_displays found;
	const char *display = last_entry_of(peer_environ, count, "DISPLAY");
	if (display && accept_confined_entry(display) &&
	    x_display_trusted(display_number(value_of(display)), uid))
		found.display = display;
	const char *wayland = last_entry_of(peer_environ, count, "WAYLAND_DISPLAY");
	if (wayland && accept_confined_entry(wayland) && wayland_display_trusted(value_of(wayland), uid))
		found.wayland = wayland;
	return found;
}

void put_service_entry(const char *name, const std::string &value)
{
	if (setenv(name, value.c_str(), 1) != 0) {
		int err = errno;
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to set environ", err);
		return;
	}
	PEER_LOG(LEVEL_DEBUG, "putenv: %s", log_quote(std::string(name) + "=" + value).c_str());
}

// What the service itself knows of a confined caller's session, in place of
// what the caller says: the home the user database gives the user (none
// without an entry), and the user's runtime directory and session bus where
// the service sees them. A caller's own bus address could name a program to
// run, and its runtime directory files of its choosing.
void put_session_of(uid_t uid)
{
	if (const passwd *entry = getpwuid(uid); entry && entry->pw_dir)
		put_service_entry("HOME", entry->pw_dir);
	std::string runtime = "/run/user/" + std::to_string(uid);
	struct stat st;
	if (lstat(runtime.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid)
		return;
	put_service_entry("XDG_RUNTIME_DIR", runtime);
	std::string bus = runtime + "/bus";
	if (lstat(bus.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
		put_service_entry("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus);
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

// The caller's audit login uid in place of the service's, while this
// process may still set it: an opener must not act under root's login, nor
// set a login uid of its own choosing where the service's is unset.
int take_login_uid(int dir)
{
	char theirs[16] = {};
	unique_fd file(openat(dir, "loginuid", O_RDONLY | O_CLOEXEC));
	// A kernel without audit has none to take.
	if (file.get() == -1)
		return 0;
	ssize_t n = read(file.get(), theirs, sizeof theirs - 1);
	if (n <= 0) {
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to read the login uid", n < 0 ? errno : EIO);
		return -1;
	}
	if (own_login_uid[0] != '\0' && strcmp(theirs, own_login_uid) == 0)
		return 0;
	unique_fd own(open("/proc/self/loginuid", O_WRONLY | O_CLOEXEC));
	if (own.get() == -1 || write(own.get(), theirs, static_cast<size_t>(n)) != n) {
		int err = errno;
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to set the login uid", err);
		return -1;
	}
	return 0;
}

// After the drop: the user may not trace this process, which still holds
// the service's standard error. Where the machine leaves processes that
// changed their ids traceable (fs.suid_dumpable), a tracer could have
// attached since the drop; then the process gives up.
int keep_untraced()
{
	bool exposed = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0;
	if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
		int err = errno;
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to set dumpable", err);
		return -1;
	}
	if (!exposed)
		return 0;
	unique_fd status(open("/proc/self/status", O_RDONLY | O_CLOEXEC));
	int traced = status.get() == -1 ? -errno : each_line(status.get(), [](std::string_view line) {
		return line.starts_with("TracerPid:") && line.find_first_not_of("\t 0", 10) != std::string_view::npos;
	});
	if (traced != 0) {
		PEER_LOG(LEVEL_ERROR, "unable to drop privileges");
		return -1;
	}
	return 0;
}

} // namespace

bool status_line_confines(std::string_view line)
{
	for (std::string_view key : {"NoNewPrivs:", "Seccomp:"}) {
		if (!line.starts_with(key))
			continue;
		line.remove_prefix(key.size());
		while (!line.empty() && (line.front() == '\t' || line.front() == ' '))
			line.remove_prefix(1);
		return line != "0";
	}
	return false;
}

bool label_confines(std::string_view label)
{
	while (!label.empty() && (label.back() == '\0' || label.back() == '\n'))
		label.remove_suffix(1);
	// Stacked profiles are joined by "//&"; each ends in its mode. A label
	// without one is no AppArmor profile's.
	for (;;) {
		size_t stack = label.find("//&");
		std::string_view part = label.substr(0, stack);
		size_t open = part.rfind(" (");
		if (open != std::string_view::npos && part.ends_with(")")) {
			std::string_view mode = part.substr(open + 2, part.size() - open - 3);
			if (mode != "complain" && mode != "unconfined")
				return true;
		}
		if (stack == std::string_view::npos)
			return false;
		label.remove_prefix(stack + 3);
	}
}

int note_own_root()
{
	unique_fd login(open("/proc/self/loginuid", O_RDONLY | O_CLOEXEC));
	if (login.get() != -1 && read(login.get(), own_login_uid, sizeof own_login_uid - 1) <= 0)
		own_login_uid[0] = '\0';
	for (size_t i = 0; i < std::size(OWN_LINKS); i++)
		if (int r = own_link(i, &own_links[i]); r != 0)
			return r;
	own_links_known = true;
	return 0;
}

int accountable_uid(const ucred &cred, uid_t *uid)
{
	*uid = cred.uid;
	struct stat st;
	proc_path path(cred.pid, "/ns/user");
	if (stat(path.text, &st) != 0)
		return -errno;
	int own = is_own(OWN_USER, st);
	if (own < 0)
		return own;
	counted_peer = cred.pid;
	counted_peer_other_user_namespace = !own;
	if (own)
		return 0;

	unique_fd ns(open(path.text, O_RDONLY | O_CLOEXEC));
	if (ns.get() == -1)
		return -errno;
	// Up to the namespace that ours made: whoever owns it owns all below.
	for (;;) {
		unique_fd parent(ioctl(ns.get(), NS_GET_PARENT));
		if (parent.get() == -1 || fstat(parent.get(), &st) != 0)
			return -errno;
		own = is_own(OWN_USER, st);
		if (own < 0)
			return own;
		if (own == 1)
			break;
		ns.reset(parent.release());
	}
	uid_t owner;
	if (ioctl(ns.get(), NS_GET_OWNER_UID, &owner) != 0)
		return -errno;
	// Root's containers map users of their own: those count as themselves.
	if (owner != 0)
		*uid = owner;
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

	// Everything below is read through this one directory, so all of it
	// belongs to the process whose owner is checked.
	unique_fd dir(open(proc_path(cred.pid).text, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
	int others = sees_other_files(dir.get());
	int confined = others;
	// Looked at already, when the service counted the connection.
	if (confined == 0)
		confined = counted_peer == cred.pid ? counted_peer_other_user_namespace
						    : other_user_namespace(dir.get());
	if (confined == 0)
		confined = status_confined(dir.get());
	if (confined == 0)
		confined = label_confined(fd);
	if (confined < 0) {
		LOGGER_LOG_ERRNO(PEER_LOG, LEVEL_ERROR, "unable to verify peer", -confined);
		return -1;
	}
	// Confined root could name files or programs to the opener, which runs as
	// root outside its confinement.
	if (confined && cred.uid == 0) {
		if (others)
			PEER_LOG(LEVEL_WARNING, "refused pid %i: root in another mount namespace or root directory",
				 cred.pid);
		else
			PEER_LOG(LEVEL_WARNING,
				 "refused pid %i: root in another user namespace or under a confining policy",
				 cred.pid);
		return -1;
	}
	if (take_login_uid(dir.get()) != 0)
		return -1;
	dir.reset();
	if (confined)
		PEER_LOG(LEVEL_INFO, "pid %i is confined: only its display and session variables are taken",
			 cred.pid);

	ssize_t read_count = read_environ(file.get());
	if (read_count < 0)
		return -1;
	size_t count = static_cast<size_t>(read_count);
	file.reset();
	if (!environ_within_bounds(count))
		return -1;
	confined_displays displays;
	if (confined)
		displays = check_displays(count, cred.uid);

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
	// The user owns this process now and may signal it or lower its limits,
	// but must not trace it: it still holds the service's standard error.
	if (keep_untraced() != 0)
		return -1;

	if (clearenv() != 0) {
		PEER_LOG(LEVEL_WARNING, "unable to clear environ");
		environ = nullptr;
	}
	if (put_environ_entries(plgr, peer_environ, count, confined ? &displays : nullptr) != 0)
		return -1;
	if (confined)
		put_session_of(cred.uid);
	return 0;
}
