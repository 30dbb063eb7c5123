// Runs the desktop's URL opener for one open-URL command and waits for it.
// Kept apart from net.cpp so that a fuzzer can link a recorder in its place.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

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

} // namespace

void open_url(const unsigned char *url, size_t length)
{
	pid_t pid = fork();
	if (pid == -1) {
		int error = errno;
		NET_LOG(LEVEL_ERROR, "unable to create process: %i: %s", -error, strerror(error));
		return;
	}
	if (pid == 0)
		exec_opener(url, length);

	int status = 0;
	pid_t waited;
	do
		waited = waitpid(pid, &status, 0);
	while (waited == -1 && errno == EINTR);
	// Without a successful wait the status holds nothing to judge.
	if (waited == -1)
		return;
	if ((status & 0x7f) != 0)
		NET_LOG(LEVEL_ERROR, "unable to process: %i", status);
}
