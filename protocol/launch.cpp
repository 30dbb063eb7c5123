// Runs the desktop's URL opener for one open-URL command and waits a while
// for it. Kept apart from net.cpp so that a fuzzer can link a recorder in its
// place.
#include <event2/event.h>
#include <fcntl.h>
#include <linux/keyctl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
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
#include "protocol/record_pace.h"

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

// Every signal as a freshly started program has it, but the two that the
// service's documents promise its openers ignored; nothing else of how root
// started the service.
void reset_signals()
{
	for (int sig = 1; sig < NSIG; sig++)
		if (sig != SIGKILL && sig != SIGSTOP)
			signal(sig, sig == SIGHUP || sig == SIGPIPE ? SIG_IGN : SIG_DFL);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Runs in the forked child: no logger, no libevent, only plain system calls.
[[noreturn]] void exec_opener(const unsigned char *url, size_t length)
{
	// Nothing of the service's own: 0 and 1 are the connection child's null
	// device, and its 2 is the service's log, which the user's program must
	// neither write records into nor hold.
	if (dup2(STDOUT_FILENO, STDERR_FILENO) != STDERR_FILENO)
		_exit(1);
	// A session keyring of its own: the service's, which it would share
	// otherwise, may hold root's keys or another user's. Where keyrings
	// cannot be used at all, there is nothing to share.
	if (syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, nullptr) == -1 && errno != ENOSYS &&
	    errno != EOPNOTSUPP && errno != EPERM)
		_exit(1);
	reset_signals();
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

// Openers left running, watched until they end so that none stays a zombie:
// by their pidfd, or where none could be had, by a look every so often.
struct running_opener {
	pid_t pid; // 0: the slot is free
	int pidfd; // -1: none
	event *watch;
};
constexpr int LOOK_AGAIN_MS = 50;
constexpr timeval LOOK_AGAIN = {0, LOOK_AGAIN_MS * 1000};
running_opener running[OPENERS_LEFT_RUNNING];
// The records of openers that could not be started: a user who limits this
// process's descriptors or processes would otherwise get one per command.
record_pace not_started;
// And of openers that failed: a user can make each of its openers fail at once.
record_pace ended_by_signal;
record_pace exited_non_zero;

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

void free_slot(running_opener *opener)
{
	if (opener->watch)
		event_free(opener->watch);
	if (opener->pidfd >= 0)
		close(opener->pidfd);
	*opener = {0, -1, nullptr};
}

// Reaps an opener that was left running, unreported: its status is nobody's
// now. False while it still runs.
bool reap(running_opener *opener, bool block)
{
	if (wait_for(opener->pid, nullptr, block ? 0 : WNOHANG) == 0)
		return false;
	free_slot(opener);
	return true;
}

void opener_ended_cb(evutil_socket_t, short, void *arg)
{
	auto *opener = static_cast<running_opener *>(arg);
	// A look on the timer that finds it running looks again later.
	if (!reap(opener, opener->pidfd >= 0) && opener->watch)
		evtimer_add(opener->watch, &LOOK_AGAIN);
}

// With every slot taken, blocks until one of those openers has ended.
void wait_for_a_slot()
{
	for (;;) {
		pollfd fds[OPENERS_LEFT_RUNNING];
		bool all_pidfds = true;
		for (size_t i = 0; i < OPENERS_LEFT_RUNNING; i++) {
			if (running[i].pid == 0)
				return;
			fds[i] = {running[i].pidfd, POLLIN, 0};
			all_pidfds = all_pidfds && running[i].pidfd >= 0;
		}
		int r = poll_ended(fds, OPENERS_LEFT_RUNNING, all_pidfds ? -1 : LOOK_AGAIN_MS);
		if (r < 0) {
			// Without poll, the oldest is as good a one to wait for as any.
			reap(&running[0], true);
			return;
		}
		bool freed = false;
		for (size_t i = 0; i < OPENERS_LEFT_RUNNING; i++)
			if (fds[i].revents != 0 || running[i].pidfd < 0)
				freed = reap(&running[i], fds[i].revents != 0) || freed;
		if (freed)
			return;
	}
}

// The connection goes on; the opener is reaped from the event loop once it ends.
void leave_running(pid_t pid, int pidfd)
{
	for (running_opener &slot : running) {
		if (slot.pid != 0)
			continue;
		slot = {pid, pidfd, nullptr};
		if (pidfd >= 0)
			slot.watch = event_new(ev_base, pidfd, EV_READ, opener_ended_cb, &slot);
		else
			slot.watch = evtimer_new(ev_base, opener_ended_cb, &slot);
		if (slot.watch && event_add(slot.watch, pidfd >= 0 ? nullptr : &LOOK_AGAIN) != 0) {
			event_free(slot.watch);
			slot.watch = nullptr;
		}
		// Unwatched, it is still reaped once every slot is taken.
		return;
	}
}

// Waits at most OPENER_WAIT_MS for the opener to end: 1 ended, 0 still running.
int wait_bounded(pid_t pid, int pidfd)
{
	if (pidfd >= 0) {
		pollfd fd = {pidfd, POLLIN, 0};
		return poll_ended(&fd, 1, OPENER_WAIT_MS) == 0 ? 0 : 1;
	}
	// No pidfd, as when the user has lowered this process's descriptor limit:
	// looked at every so often, so that the wait stays bounded all the same.
	long end = monotonic_ms() + OPENER_WAIT_MS;
	for (;;) {
		siginfo_t info {};
		if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
		    info.si_pid == pid)
			return 1;
		long left = end - monotonic_ms();
		if (left <= 0)
			return 0;
		poll(nullptr, 0, static_cast<int>(std::min<long>(left, LOOK_AGAIN_MS)));
	}
}

// The null device on 0 and 1, and room for the opener's descriptors: without
// them it would start on what the user left this process, or not at all.
int prepare_opener()
{
	for (int fd : {STDIN_FILENO, STDOUT_FILENO}) {
		struct stat st;
		if (fstat(fd, &st) != 0)
			return -errno;
		if (!S_ISCHR(st.st_mode) || st.st_rdev != makedev(1, 3))
			return -EBADF;
	}
	rlimit limit {};
	if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
		return -errno;
	// The opener's 0, 1 and 2.
	if (limit.rlim_cur < 3)
		return -EMFILE;
	return 0;
}

} // namespace

void forget_openers()
{
	if (unsigned long more = take_unrecorded(&not_started))
		LOGGER_LOG(plgr, LEVEL_ERROR, "net", "open_url", "%lu more openers not started", more);
	if (unsigned long more = take_unrecorded(&ended_by_signal))
		LOGGER_LOG(plgr, LEVEL_ERROR, "net", "open_url", "%lu more openers ended by a signal", more);
	if (unsigned long more = take_unrecorded(&exited_non_zero))
		LOGGER_LOG(plgr, LEVEL_INFO, "net", "open_url", "%lu more openers exited with a non-zero status",
			   more);
	for (running_opener &opener : running)
		if (opener.pid != 0)
			free_slot(&opener);
}

int open_url(const unsigned char *url, size_t length)
{
	if (int r = prepare_opener(); r != 0) {
		if (record_due(&not_started))
			LOGGER_LOG_ERRNO(NET_LOG, LEVEL_ERROR, "unable to prepare the opener", -r);
		return r;
	}
	// Once per connection, and only for one that opens something at all.
	if (void (*hook)() = before_first_opener) {
		before_first_opener = nullptr;
		hook();
	}
	wait_for_a_slot();
	// No signal may run this process's handlers in the opener before they
	// are reset there.
	sigset_t all, before;
	sigfillset(&all);
	sigprocmask(SIG_SETMASK, &all, &before);
	pid_t pid = fork();
	if (pid == 0)
		exec_opener(url, length);
	int error = errno;
	sigprocmask(SIG_SETMASK, &before, nullptr);
	if (pid == -1) {
		if (record_due(&not_started))
			LOGGER_LOG_ERRNO(NET_LOG, LEVEL_ERROR, "unable to create process", error);
		return -error;
	}

	unique_fd pidfd(open_pidfd(pid));
	if (wait_bounded(pid, pidfd.get()) == 0) {
		NET_LOG(LEVEL_INFO, "opener still running: %li", static_cast<long>(pid));
		leave_running(pid, pidfd.release());
		return 0;
	}
	pidfd.reset();

	int status = 0;
	// Without a successful wait the status holds nothing to judge.
	if (wait_for(pid, &status, 0) == -1)
		return 0;
	if (WIFSIGNALED(status)) {
		if (record_due(&ended_by_signal))
			NET_LOG(LEVEL_ERROR, "unable to process: %i", status);
	} else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
		if (record_due(&exited_non_zero))
			NET_LOG(LEVEL_INFO, "opener exited with %i", WEXITSTATUS(status));
	}
	return 0;
}
