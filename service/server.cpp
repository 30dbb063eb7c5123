// The listening socket and the connection children forked from it.
#include <event2/event.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "protocol/net.h"
#include "protocol/wire.h"
#include "service/service.h"

namespace {

int listen_fd = -1;
event *listener_event = nullptr;

} // namespace

event *child_exit_event = nullptr;
int child_flag = 0;

int create_server_socket()
{
	listen_fd = socket(AF_UNIX, SOCK_STREAM, 0);
	if (listen_fd == -1) {
		int err = errno;
		SERVICE_LOG(LEVEL_ERROR, "socket error: %i: %s", -err, strerror(err));
		return -1;
	}

	sockaddr_un addr;
	socklen_t length = service_address(&addr);
	// A second instance fails here: an abstract name is bound only once.
	if (bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), length) != 0) {
		int err = errno;
		SERVICE_LOG(LEVEL_ERROR, "unable to bind: %i: %s", -err, strerror(err));
		close_server_socket();
		return -1;
	}
	if (listen(listen_fd, 0) != 0) {
		int err = errno;
		SERVICE_LOG(LEVEL_ERROR, "unable to listen: %i: %s", -err, strerror(err));
		close_server_socket();
		return -1;
	}

	listener_event = event_new(ev_base, listen_fd, EV_READ | EV_PERSIST, accept_cb, nullptr);
	if (!listener_event) {
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
	if (listener_event) {
		event_free(listener_event);
		listener_event = nullptr;
	}
	if (listen_fd != -1) {
		close(listen_fd);
		listen_fd = -1;
	}
}

void accept_cb(evutil_socket_t fd, short, void *)
{
	sockaddr_un addr;
	socklen_t length = sizeof(addr);
	int conn = accept(fd, reinterpret_cast<sockaddr *>(&addr), &length);
	if (conn == -1) {
		int err = errno;
		SERVICE_LOG(LEVEL_ERROR, "unable to accept connection: %i: %s", -err, strerror(err));
		return;
	}

	pid_t pid = fork();
	if (pid == -1) {
		int err = errno;
		SERVICE_LOG(LEVEL_ERROR, "unable to create process: %i: %s", -err, strerror(err));
		close(conn);
		return;
	}
	if (pid > 0) {
		SERVICE_LOG(LEVEL_INFO, "new process: %li", static_cast<long>(pid));
		close(conn);
		return;
	}

	child_flag = 1;
	if (event_reinit(ev_base) != 0) {
		SERVICE_LOG(LEVEL_ERROR, "unable to reinitialize");
		exit(1);
	}
	close_server_socket();
	// The opener is waited for by the launch itself; a reaper here would race it.
	event_del(child_exit_event);
	ignore_reload();

	if (change_environ(conn) != 0) {
		event_base_loopbreak(ev_base);
		return;
	}
	SERVICE_LOG(LEVEL_INFO, "new connection");
	if (net_client_init(conn) != 0)
		event_base_loopbreak(ev_base);
}

void sigchld_cb(evutil_socket_t, short, void *)
{
	pid_t pid = waitpid(-1, nullptr, WNOHANG);
	if (pid == -1) {
		SERVICE_LOG(LEVEL_ERROR, "eroor: %i", -errno);
		return;
	}
	if (pid == 0) {
		SERVICE_LOG(LEVEL_WARNING, "no process");
		return;
	}
	// Signals coalesce: children that ended together may have raised one SIGCHLD.
	while (waitpid(-1, nullptr, WNOHANG) > 0) {
	}
}
