// Preloaded into the service by the fault tests: fork fails with EAGAIN in
// the service process, or in its connection children, while the control file
// named by QUILLMERE_FORK_SHIM starts with "service" or "child". Root ignores
// RLIMIT_NPROC, so this is the way to make fork fail on demand.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

pid_t service_pid;
// Copied at load time: a connection child clears its environment.
char control_path[4096];

bool fork_must_fail()
{
	if (!control_path[0])
		return false;
	int fd = open(control_path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	char mode[16] = {};
	ssize_t n = read(fd, mode, sizeof(mode) - 1);
	close(fd);
	if (n <= 0)
		return false;
	const char *wanted = getpid() == service_pid ? "service" : "child";
	return strncmp(mode, wanted, strlen(wanted)) == 0;
}

__attribute__((constructor)) void remember_service()
{
	service_pid = getpid();
	const char *path = getenv("QUILLMERE_FORK_SHIM");
	if (path)
		strncpy(control_path, path, sizeof(control_path) - 1);
}

} // namespace

extern "C" pid_t fork()
{
	using fork_fn = pid_t (*)();
	static auto next = reinterpret_cast<fork_fn>(dlsym(RTLD_NEXT, "fork"));
	if (fork_must_fail()) {
		errno = EAGAIN;
		return -1;
	}
	return next();
}
