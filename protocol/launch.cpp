// Runs the desktop's URL opener for one open-URL command and waits a while
// for it. Kept apart from net.cpp so that a fuzzer can link a recorder in its
// place.
#include <event2/event.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <algorithm>

#include "common/unique_fd.h"
#include "protocol/net.h"
#include "protocol/process.h"

namespace {

// Everything from 3 up, so that neither the connection's socket nor any other
// descriptor of the service reaches the opener or what it starts.
void close_from_3()
{
	if (close_range(3, ~0U, 0) == 0)
		return;
	// Kernels before 5.9 lack close_range.
	rlimit limit {};
	long last = 1L << 20;
	if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
	    && limit.rlim_cur < static_cast<rlim_t>(INT_MAX))
		last = static_cast<long>(limit.rlim_cur);
	for (long fd = 3; fd < last; fd++)
		close(static_cast<int>(fd));
}

// The caller's home when it names one the user may enter, else the root:
// never the service's own working directory.
void enter_home()
{
	const char *home = getenv("HOME");
	if (!home || home[0] != '/' || chdir(home) != 0)
		(void)!chdir("/");
}

// Runs in the forked child: no logger, no libevent, only plain system calls.
[[noreturn]] void exec_opener(const unsigned char *url, size_t length)
{
	// Nothing of the service's own: a terminal on 0 would let the user's
	// program read root's keystrokes or stop the service's output, and a
	// program started with 1 and 2 closed would write into the next files
	// it opens.
	int null = open("/dev/null", O_RDWR);
	if (null >= 0) {
		dup2(null, 0);
		dup2(null, 1);
		dup2(null, 2);
	}
	close_from_3();
	enter_home();
	// Out of the service's session: a service started from a terminal must not
	// lend the user's program that terminal as its controlling one.
	setsid();

	char *argument = static_cast<char *>(malloc(length + 1));
	if (argument) {
		memcpy(argument, url, length);
		argument[length] = '\0';
		execlp("xdg-open", "xdg-open", argument, static_cast<char *>(nullptr));
	}
	// _exit: the parent's atexit handlers and stdio buffers are not ours to run.
	_exit(1);
}

// Openers left running, watched until they end so that none stays a zombie.
struct running_opener {
	pid_t pid; // 0: the slot is free
	int pidfd;
	event *watch;
};
running_opener running[OPENERS_LEFT_RUNNING];

// Close-on-exec, as the kernel always makes them; -1 with errno on failure.
int open_pidfd(pid_t pid)
{
	return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

long monotonic_ms()
{
	timespec now {};
	clock_gettime(CLOCK_MONOTONIC, &now);
	return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// Waits until the descriptors' process has ended or the time is up (-1: no
// bound). Returns the number of ended ones, 0 on time-out, -1 on failure.
int poll_ended(pollfd *fds, size_t count, int timeout_ms)
{
	long end = monotonic_ms() + timeout_ms;
	for (;;) {
		int left = timeout_ms < 0 ? -1 : static_cast<int>(std::max(0L, end - monotonic_ms()));
		int r = poll(fds, count, left);
		if (r >= 0 || errno != EINTR)
			return r;
	}
}

pid_t wait_for(pid_t pid, int *status, int options)
{
	pid_t waited;
	do
		waited = waitpid(pid, status, options);
	while (waited == -1 && errno == EINTR);
	return waited;
}

// Reaps an opener that was left running, unreported: its status is nobody's now.
void release(running_opener *opener)
{
	wait_for(opener->pid, nullptr, 0);
	if (opener->watch)
		event_free(opener->watch);
	close(opener->pidfd);
	*opener = {0, -1, nullptr};
}

void opener_ended_cb(evutil_socket_t, short, void *arg)
{
	release(static_cast<running_opener *>(arg));
}

// With every slot taken, blocks until one of those openers has ended.
void wait_for_a_slot()
{
	pollfd fds[OPENERS_LEFT_RUNNING];
	for (size_t i = 0; i < OPENERS_LEFT_RUNNING; i++) {
		if (running[i].pid == 0)
			return;
		fds[i] = {running[i].pidfd, POLLIN, 0};
	}
	if (poll_ended(fds, OPENERS_LEFT_RUNNING, -1) < 0) {
		// Without poll, the oldest is as good a one to wait for as any.
		release(&running[0]);
		return;
	}
	for (size_t i = 0; i < OPENERS_LEFT_RUNNING; i++)
		if (fds[i].revents != 0)
			release(&running[i]);
}

// The connection goes on; the opener is reaped from the event loop once it ends.
void leave_running(pid_t pid, int pidfd)
{
	for (running_opener &slot : running) {
		if (slot.pid != 0)
			continue;
		slot = {pid, pidfd, nullptr};
		slot.watch = event_new(ev_base, pidfd, EV_READ, opener_ended_cb, &slot);
		if (slot.watch && event_add(slot.watch, nullptr) != 0) {
			event_free(slot.watch);
			slot.watch = nullptr;
		}
		// Unwatched, it is still reaped once every slot is taken.
		return;
	}
}

} // namespace

void forget_openers()
{
	for (running_opener &opener : running) {
		if (opener.pid == 0)
			continue;
		if (opener.watch)
			event_free(opener.watch);
		close(opener.pidfd);
		opener = {0, -1, nullptr};
	}
}

int open_url(const unsigned char *url, size_t length)
{
	wait_for_a_slot();
	pid_t pid = fork();
	if (pid == -1) {
		int error = errno;
		LOGGER_LOG_ERRNO(NET_LOG, LEVEL_ERROR, "unable to create process", error);
		return -error;
	}
	if (pid == 0)
		exec_opener(url, length);

	// Without a pidfd the opener is waited for as long as it runs.
	unique_fd pidfd(open_pidfd(pid));
	if (pidfd.get() >= 0) {
		pollfd fd = {pidfd.get(), POLLIN, 0};
		if (poll_ended(&fd, 1, OPENER_WAIT_MS) == 0) {
			NET_LOG(LEVEL_INFO, "opener still running: %li", static_cast<long>(pid));
			leave_running(pid, pidfd.release());
			return 0;
		}
		pidfd.reset();
	}

	int status = 0;
	// Without a successful wait the status holds nothing to judge.
	if (wait_for(pid, &status, 0) == -1)
		return 0;
	if (WIFSIGNALED(status))
		NET_LOG(LEVEL_ERROR, "unable to process: %i", status);
	else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
		NET_LOG(LEVEL_INFO, "opener exited with %i", WEXITSTATUS(status));
	return 0;
}
