// The listening socket that the service manager may hand over at start: the
// LISTEN_PID/LISTEN_FDS convention, with the socket passed as descriptor 3.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "protocol/wire.h"
#include "service/service.h"

namespace {

constexpr int FIRST_PASSED_FD = 3;

bool socket_option_is(int fd, int option, int expected)
{
	int value = 0;
	socklen_t length = sizeof(value);
	return getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 && value == expected;
}

// Only the service's own kind of socket on its own name will do: anything
// else would serve peers that meant another service, or none.
bool is_service_listener(int fd)
{
	if (!socket_option_is(fd, SO_DOMAIN, AF_UNIX) || !socket_option_is(fd, SO_TYPE, SOCK_STREAM) ||
	    !socket_option_is(fd, SO_ACCEPTCONN, 1))
		return false;
	sockaddr_un bound {}, wanted;
	socklen_t bound_length = sizeof(bound);
	socklen_t wanted_length = service_address(&wanted);
	return getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &bound_length) == 0 &&
	       bound_length == wanted_length && memcmp(&bound, &wanted, wanted_length) == 0;
}

} // namespace

int inherited_listener()
{
	const char *pid = getenv("LISTEN_PID");
	const char *fds = getenv("LISTEN_FDS");
	bool ours = pid && fds && strtol(pid, nullptr, 10) == getpid();
	long count = ours ? strtol(fds, nullptr, 10) : 0;
	// No opener or child of ours may take these for its own.
	unsetenv("LISTEN_PID");
	unsetenv("LISTEN_FDS");
	unsetenv("LISTEN_FDNAMES");
	if (!ours || count < 1)
		return -ENOENT;
	if (count != 1 || !is_service_listener(FIRST_PASSED_FD)) {
		LOGGER_LOG(plgr, LEVEL_ERROR, "main", "create_server_socket",
			   "inherited socket is not one listening on @%s", SERVICE_SOCKET_NAME);
		return -EINVAL;
	}
	return FIRST_PASSED_FD;
}
