// The listening socket and the connection children forked from it.
#include <event2/event.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/unique_fd.h"
#include "protocol/net.h"
#include "protocol/record_pace.h"
#include "protocol/wire.h"
#include "service/service.h"

namespace {

int listen_fd = -1;
event *listener_event = nullptr;

// One slot per live connection child: the user its connection counts against.
struct connection_slot {
	pid_t pid;
	uid_t uid;
};
connection_slot slots[MAX_CONNECTIONS];
size_t live_connections = 0;

// Refusals logged in full at most once a second; the rest are counted and
// summed up by a timer, so that a burst neither floods the log nor vanishes.
event *refusal_event = nullptr;
unsigned long refusals_unlogged = 0;

// Opened once by the service, for every child to take; a child opens its own
// where this could not be opened.
int null_device = -1;

// While descriptors or memory are short, accepting pauses instead of spinning.
event *accept_pause_event = nullptr;
constexpr timeval ACCEPT_PAUSE = {0, 100 * 1000};

void refusal_cb(evutil_socket_t, short, void *)
{
	if (refusals_unlogged > 0)
		SERVICE_LOG(LEVEL_WARNING, "refused %lu more connections", refusals_unlogged);
	refusals_unlogged = 0;
}

void resume_accept_cb(evutil_socket_t, short, void *)
{
	if (listener_event)
		event_add(listener_event, nullptr);
}

size_t connections_of(uid_t uid)
{
	size_t count = 0;
	for (size_t i = 0; i < live_connections; i++)
		count += slots[i].uid == uid;
	return count;
}

// Which limit a new connection of this caller would pass, or null for none.
const char *limit_reached(uid_t uid, unsigned *limit)
{
	if (live_connections >= MAX_CONNECTIONS) {
		*limit = MAX_CONNECTIONS;
		return "total";
	}
	// Root can stop the service anyway; its connections count only in all.
	if (uid != 0 && connections_of(uid) >= MAX_CONNECTIONS_PER_USER) {
		*limit = MAX_CONNECTIONS_PER_USER;
		return "user";
	}
	return nullptr;
}

// Whether a refusal may be logged now; if so, the next ones within a second
// are only counted.
bool refusal_record_due()
{
	if (refusal_event && evtimer_pending(refusal_event, nullptr)) {
		refusals_unlogged++;
		return false;
	}
	if (refusal_event) {
		timeval second = {1, 0};
		evtimer_add(refusal_event, &second);
	}
	return true;
}

// Its records belong to the callback callers know.
#define ACCEPT_LOG(level, ...) LOGGER_LOG(plgr, (level), "main", "accept_cb", __VA_ARGS__)

void refuse(const ucred &cred, uid_t accountable, const char *which, unsigned limit)
{
	if (!refusal_record_due())
		return;
	if (accountable == cred.uid)
		ACCEPT_LOG(LEVEL_WARNING, "refused uid %u pid %i: %s limit %u",
			   static_cast<unsigned>(accountable), static_cast<int>(cred.pid), which, limit);
	else
		ACCEPT_LOG(LEVEL_WARNING, "refused uid %u pid %i: %s limit %u (peer uid %u)",
			   static_cast<unsigned>(accountable), static_cast<int>(cred.pid), which, limit,
			   static_cast<unsigned>(cred.uid));
}

void forget_connection(pid_t pid)
{
	forget_scope_channel(pid);
	for (size_t i = 0; i < live_connections; i++) {
		if (slots[i].pid == pid) {
			slots[i] = slots[--live_connections];
			return;
		}
	}
}

// The timers a service process needs beside its listener; a child has none.
int create_timers()
{
	if (!refusal_event)
		refusal_event = evtimer_new(ev_base, refusal_cb, nullptr);
	if (!accept_pause_event)
		accept_pause_event = evtimer_new(ev_base, resume_accept_cb, nullptr);
	return refusal_event && accept_pause_event ? 0 : -1;
}

void free_timers()
{
	for (event **ev : {&refusal_event, &accept_pause_event}) {
		if (*ev) {
			event_free(*ev);
			*ev = nullptr;
		}
	}
}

} // namespace

event *child_exit_event = nullptr;
int child_flag = 0;

namespace {

// Its records belong to the operation callers know.
#define SOCKET_LOG(level, ...) LOGGER_LOG(plgr, (level), "main", "create_server_socket", __VA_ARGS__)

// The service's own socket, when no service manager holds the name for it.
int bind_server_socket()
{
	listen_fd = socket(AF_UNIX, SOCK_STREAM, 0);
	if (listen_fd == -1) {
		int err = errno;
		LOGGER_LOG_ERRNO(SOCKET_LOG, LEVEL_ERROR, "socket error", err);
		return -1;
	}

	sockaddr_un addr;
	socklen_t length = service_address(&addr);
	// A second instance fails here: an abstract name is bound only once.
	if (bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), length) != 0) {
		int err = errno;
		LOGGER_LOG_ERRNO(SOCKET_LOG, LEVEL_ERROR, "unable to bind", err);
		close_server_socket();
		return -1;
	}
	if (listen(listen_fd, 0) != 0) {
		int err = errno;
		LOGGER_LOG_ERRNO(SOCKET_LOG, LEVEL_ERROR, "unable to listen", err);
		close_server_socket();
		return -1;
	}
	return 0;
}

} // namespace

int create_server_socket()
{
	int inherited = inherited_listener();
	if (inherited == -EINVAL)
		return -1;
	if (inherited >= 0)
		listen_fd = inherited;
	else if (bind_server_socket() != 0)
		return -1;
	// Whoever made it: an accept never blocks, and no program we start inherits it.
	int flags = fcntl(listen_fd, F_GETFL);
	if (flags == -1 || fcntl(listen_fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
	    fcntl(listen_fd, F_SETFD, FD_CLOEXEC) != 0) {
		int err = errno;
		LOGGER_LOG_ERRNO(SERVICE_LOG, LEVEL_ERROR, "unable to set flags", err);
		close_server_socket();
		return -1;
	}

	listener_event = event_new(ev_base, listen_fd, EV_READ | EV_PERSIST, accept_cb, nullptr);
	if (null_device == -1)
		null_device = open("/dev/null", O_RDWR | O_CLOEXEC);
	if (!listener_event || create_timers() != 0) {
		SERVICE_LOG(LEVEL_ERROR, "unable to create event");
		close_server_socket();
		return -1;
	}
	if (event_add(listener_event, nullptr) != 0) {
		SERVICE_LOG(LEVEL_ERROR, "unable to add event");
		close_server_socket();
		return -1;
	}
	return 0;
}

void close_server_socket()
{
	free_timers();
	if (listener_event) {
		event_free(listener_event);
		listener_event = nullptr;
	}
	if (listen_fd != -1) {
		close(listen_fd);
		listen_fd = -1;
	}
}

namespace {

// Connections taken in one wake-up: a burst is served without a trip through
// the loop for each, while signals and timers still get their turn.
constexpr int ACCEPT_BURST = 16;

enum accept_step { NEXT, DONE };

// Puts the null device on the child's standard input and output while it is
// still root, whatever limits its user sets on it later: the openers it
// starts get these, never the service's own. Standard error stays the log.
int hold_null_streams()
{
	int null = null_device != -1 ? null_device : open("/dev/null", O_RDWR | O_CLOEXEC);
	if (null == -1 || dup2(null, STDIN_FILENO) == -1 || dup2(null, STDOUT_FILENO) == -1) {
		int err = errno;
		LOGGER_LOG_ERRNO(ACCEPT_LOG, LEVEL_ERROR, "unable to open", err);
		return -1;
	}
	close(null);
	null_device = -1;
	return 0;
}

// Takes one connection off the listener: refuses it, or forks its child.
// DONE when nothing more is to be taken now, and always in the new child.
accept_step accept_one(int fd)
{
	int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
	if (conn == -1) {
		int err = errno;
		// Nothing is waiting any more.
		if (err == EAGAIN || err == EWOULDBLOCK)
			return DONE;
		// That caller gave up first, or a signal came: the next may be waiting.
		if (err == ECONNABORTED || err == EINTR)
			return NEXT;
		LOGGER_LOG_ERRNO(ACCEPT_LOG, LEVEL_ERROR, "unable to accept connection", err);
		// The connection stays queued: trying again at once would only spin.
		if ((err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) &&
		    accept_pause_event && listener_event) {
			event_del(listener_event);
			evtimer_add(accept_pause_event, &ACCEPT_PAUSE);
		}
		return DONE;
	}

	// Limits are kept here, before a process is spent on the caller.
	ucred cred;
	socklen_t cred_length = sizeof(cred);
	if (getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &cred_length) != 0) {
		int err = errno;
		ACCEPT_LOG(LEVEL_ERROR, "unable to get options: %i", -err);
		close(conn);
		return NEXT;
	}
	uid_t accountable;
	if (int r = accountable_uid(cred, &accountable); r != 0) {
		// Gone already, or out of reach: nobody to serve, nobody to count.
		if (refusal_record_due())
			LOGGER_LOG_ERRNO(ACCEPT_LOG, LEVEL_ERROR, "unable to verify peer", -r);
		close(conn);
		return NEXT;
	}
	unsigned limit;
	if (const char *which = limit_reached(accountable, &limit)) {
		refuse(cred, accountable, which, limit);
		close(conn);
		return NEXT;
	}

	// Made before the fork: the child may have to ask for its placement once
	// it is the user's, and then it must not be able to name another pid.
	int channel[2];
	int channel_error = -scope_channel(channel);
	unique_fd service_end(channel[0]), child_end(channel[1]);
	pid_t pid = fork();
	if (pid == -1) {
		int err = errno;
		LOGGER_LOG_ERRNO(ACCEPT_LOG, LEVEL_ERROR, "unable to create process", err);
		close(conn);
		return NEXT;
	}
	if (pid > 0) {
		slots[live_connections++] = {pid, accountable};
		ACCEPT_LOG(LEVEL_INFO, "new process: %li", static_cast<long>(pid));
		close(conn);
		if (service_end.get() >= 0)
			watch_scope_channel(pid, accountable, service_end.release());
		return NEXT;
	}
	service_end.reset();

	child_flag = 1;
	net_client_started();
	// A signal event touches only this process's handlers, never the epoll set
	// still shared with the service: dropped first, these two are not installed
	// again by the re-initialisation only to be removed at once.
	// The opener is waited for by the launch itself; a reaper here would race it.
	event_del(child_exit_event);
	ignore_reload();
	if (event_reinit(ev_base) != 0) {
		ACCEPT_LOG(LEVEL_ERROR, "unable to reinitialize");
		exit(1);
	}
	close_server_socket();
	enter_scope_child(child_end.release(), channel_error);
	live_connections = 0;

	if (hold_null_streams() != 0 || change_environ(conn) != 0) {
		event_base_loopbreak(ev_base);
		return DONE;
	}
	ACCEPT_LOG(LEVEL_INFO, "new connection");
	if (net_client_init(conn) != 0)
		event_base_loopbreak(ev_base);
	return DONE;
}

} // namespace

void accept_cb(evutil_socket_t fd, short, void *)
{
	for (int i = 0; i < ACCEPT_BURST; i++)
		if (accept_one(fd) == DONE)
			return;
}

namespace {

// Children reaped by a callback beyond the one it was called for: the calls
// libevent already queued for their SIGCHLDs find nothing, and say nothing.
unsigned long reaped_ahead = 0;
record_pace no_process_records;
// Callbacks that found nothing while a placement was pending: the child that
// raised them may be one that is reaped once its placement settles.
unsigned long held_back = 0;

// Reaps every child that has ended, but while a placement is pending only
// those whose pid the manager is not about to move. The number reaped, or a
// negated errno when there was nothing to wait for.
long reap_ended()
{
	long reaped = 0;
	if (placements_pending() == 0) {
		pid_t pid;
		while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) {
			forget_connection(pid);
			reaped++;
		}
		return reaped > 0 || pid == 0 ? reaped : -errno;
	}
	for (size_t i = 0; i < live_connections;) {
		pid_t pid = slots[i].pid;
		if (!placement_pending(pid) && waitpid(pid, nullptr, WNOHANG) == pid) {
			// The last slot moves into this one.
			forget_connection(pid);
			reaped++;
		} else {
			i++;
		}
	}
	return reaped;
}

} // namespace

void reap_placed(pid_t pid)
{
	if (waitpid(pid, nullptr, WNOHANG) != pid)
		return;
	forget_connection(pid);
	// Its own callback either found nothing already or is still to come.
	if (held_back > 0)
		held_back--;
	else
		reaped_ahead++;
}

void sigchld_cb(evutil_socket_t, short, void *)
{
	// Signals coalesce: children that ended together may have raised one SIGCHLD.
	long reaped = reap_ended();
	if (reaped > 0) {
		reaped_ahead += static_cast<unsigned long>(reaped - 1);
		return;
	}
	if (reaped_ahead > 0) {
		reaped_ahead--;
		return;
	}
	if (placements_pending() > 0) {
		held_back++;
		return;
	}
	if (reaped < 0)
		SERVICE_LOG(LEVEL_ERROR, "eroor: %i", static_cast<int>(reaped));
	// A child that only stopped or went on raises SIGCHLD too, and a user may
	// stop and continue its own connection's process as fast as it likes.
	else if (record_due(&no_process_records))
		SERVICE_LOG(LEVEL_WARNING, "no process");
}
