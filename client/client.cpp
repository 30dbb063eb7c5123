// The client side of the protocol, behind a C ABI. Built without exceptions
// or RTTI and with nothing from the C++ runtime, so that the library needs
// only the C library at run time.
#include "quillmere/client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/unique_fd.h"
#include "protocol/wire.h"
#include "version.h"

static_assert(QUILLMERE_URL_MAX == OPEN_URL_MAX_LENGTH);
// The header's version is the project's, which the pkg-config file states too.
static_assert(QUILLMERE_CLIENT_VERSION_MAJOR == QUILLMERE_VERSION_MAJOR &&
	      QUILLMERE_CLIENT_VERSION_MINOR == QUILLMERE_VERSION_MINOR,
	      "client.h states another version than project() in CMakeLists.txt");
static_assert(QUILLMERE_OPENER_WAIT_MS == OPENER_WAIT_MS);

#define API extern "C" __attribute__((visibility("default")))

namespace {

enum client_state {
	STATE_NEW,		// no connection yet
	STATE_READY,		// handshake done: commands may be sent
	STATE_FINISHED,		// the service closed the connection after our last command
	STATE_FAILED,		// a call failed; the connection is unusable
};

} // namespace

struct quillmere_client {
	unique_fd fd;
	client_state state;
	int timeout_ms;			// for each call; 0 is no limit
	int64_t deadline_ms;		// CLOCK_MONOTONIC of the running call; -1 waits forever
	uint64_t urls_sent;
	uint32_t version;
	uint32_t options;
	bool have_listener;
	uid_t listener_uid;
	pid_t listener_pid;
	int error;			// errno of the last QUILLMERE_ESYSTEM
	char detail[192];
};

namespace {

int64_t now_ms()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void start_call(quillmere_client *c, int64_t bound_ms)
{
	c->deadline_ms = bound_ms > 0 ? now_ms() + bound_ms : -1;
	c->detail[0] = '\0';
}

// Milliseconds left before the deadline, or -1 for no deadline.
int64_t remaining_ms(const quillmere_client *c)
{
	if (c->deadline_ms < 0)
		return -1;
	int64_t left = c->deadline_ms - now_ms();
	return left > 0 ? left : 0;
}

// Every failure that reaches the socket makes the handle unusable: a
// command may have been cut in the middle.
__attribute__((format(printf, 3, 4)))
int fail(quillmere_client *c, int code, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	vsnprintf(c->detail, sizeof(c->detail), format, ap);
	va_end(ap);
	c->state = STATE_FAILED;
	return code;
}

int fail_errno(quillmere_client *c, const char *call)
{
	c->error = errno;
	return fail(c, QUILLMERE_ESYSTEM, "%s: %s", call, strerror(c->error));
}

// What a public function returns: errno belongs to the caller again, except
// that a system error leaves its own.
int result(const quillmere_client *c, int code, int saved_errno)
{
	errno = code == QUILLMERE_ESYSTEM ? c->error : saved_errno;
	return code;
}

// Waits until the socket is ready for events or the deadline has passed.
int wait_for(quillmere_client *c, short events, const char *what)
{
	for (;;) {
		// At the deadline one last look: what has arrived by then counts.
		int64_t left = remaining_ms(c);
		pollfd pfd = {c->fd.get(), events, 0};
		int r = poll(&pfd, 1, left < 0 ? -1 : left > INT_MAX ? INT_MAX : int(left));
		if (r > 0)
			return 0;
		if (r < 0 && errno != EINTR)
			return fail_errno(c, "poll");
		if (r == 0 && left == 0)
			return fail(c, QUILLMERE_ETIMEDOUT, "gave up waiting for %s", what);
	}
}

// Reads exactly size bytes. An end of file before the first byte of the
// service's version word is a refusal, anywhere else a protocol error.
int recv_exact(quillmere_client *c, unsigned char *buf, size_t size, const char *what,
	       bool first_word)
{
	size_t got = 0;
	while (got < size) {
		int r = wait_for(c, POLLIN, what);
		if (r != 0)
			return r;
		ssize_t n = recv(c->fd.get(), buf + got, size - got, MSG_DONTWAIT);
		if (n > 0) {
			got += size_t(n);
		} else if (n == 0 || errno == ECONNRESET) {
			return fail(c, first_word && got == 0 ? QUILLMERE_EREFUSED : QUILLMERE_EPROTO,
				    "it closed the connection before sending %s", what);
		} else if (errno != EINTR && errno != EAGAIN) {
			return fail_errno(c, "recv");
		}
	}
	return 0;
}

int send_all(quillmere_client *c, iovec *iov, size_t count)
{
	while (count > 0 && iov->iov_len == 0) {
		iov++;
		count--;
	}
	while (count > 0) {
		int r = wait_for(c, POLLOUT, "room to send");
		if (r != 0)
			return r;
		msghdr msg = {};
		msg.msg_iov = iov;
		msg.msg_iovlen = count;
		ssize_t n = sendmsg(c->fd.get(), &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
		if (n < 0) {
			if (errno == EINTR || errno == EAGAIN)
				continue;
			if (errno == EPIPE || errno == ECONNRESET)
				return fail(c, QUILLMERE_EPROTO,
					    "it closed the connection while the client was sending");
			return fail_errno(c, "sendmsg");
		}
		size_t sent = size_t(n);
		while (count > 0 && sent >= iov->iov_len) {
			sent -= iov->iov_len;
			iov++;
			count--;
		}
		if (count > 0) {
			iov->iov_base = static_cast<unsigned char *>(iov->iov_base) + sent;
			iov->iov_len -= sent;
		}
	}
	return 0;
}

int send_bytes(quillmere_client *c, const unsigned char *data, size_t size)
{
	iovec iov = {const_cast<unsigned char *>(data), size};
	return send_all(c, &iov, 1);
}

// Reads the service's status byte on what this client sent as subject.
int expect_ok(quillmere_client *c, const char *subject)
{
	char what[64];
	snprintf(what, sizeof(what), "its status on %s", subject);
	unsigned char status;
	int r = recv_exact(c, &status, 1, what, false);
	if (r != 0)
		return r;
	if (status == STATUS_NOT_OK)
		return fail(c, QUILLMERE_EPROTO, "it refused %s", subject);
	if (status != STATUS_OK)
		return fail(c, QUILLMERE_EPROTO, "unexpected byte 0x%02x as %s", status, what);
	return 0;
}

// Bounds a blocking connect by the time left. A signal interrupts the
// connect, and each retry would otherwise wait the whole call's time again.
// Returns 0, or QUILLMERE_ETIMEDOUT when no time is left.
int bound_connect(quillmere_client *c, bool retry)
{
	int64_t left = remaining_ms(c);
	if (left < 0)
		return 0;
	if (left == 0) {
		if (retry)
			return fail(c, QUILLMERE_ETIMEDOUT, "the service accepts no connection");
		// A zero time-out would wait forever; one try is still owed.
		left = 1;
	}
	timeval tv = {time_t(left / 1000), suseconds_t(left % 1000 * 1000)};
	if (setsockopt(c->fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) < 0)
		return fail_errno(c, "setsockopt");
	return 0;
}

int connect_socket(quillmere_client *c)
{
	c->fd.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
	if (c->fd.get() < 0)
		return fail_errno(c, "socket");

	// A blocking connect waits while the backlog is full; bound that wait.
	sockaddr_un addr;
	socklen_t length = service_address(&addr);
	for (bool retry = false;; retry = true) {
		int r = bound_connect(c, retry);
		if (r != 0)
			return r;
		if (connect(c->fd.get(), reinterpret_cast<sockaddr *>(&addr), length) == 0)
			break;
		if (errno == EINTR)
			continue;
		if (errno == ECONNREFUSED)
			return fail(c, QUILLMERE_ENOTRUNNING, "nothing listens on @%s",
				    SERVICE_SOCKET_NAME);
		if (errno == EAGAIN || errno == EINPROGRESS || errno == ETIMEDOUT)
			return fail(c, QUILLMERE_ETIMEDOUT, "the service accepts no connection");
		return fail_errno(c, "connect");
	}

	// The abstract name has no permissions: anyone can bind it while the
	// service is down, so nothing is sent before the listener is known.
	ucred cred;
	socklen_t cred_length = sizeof(cred);
	if (getsockopt(c->fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &cred_length) < 0)
		return fail_errno(c, "getsockopt");
	c->have_listener = true;
	c->listener_uid = cred.uid;
	c->listener_pid = cred.pid;
	if (cred.uid != 0)
		return fail(c, QUILLMERE_ENOTROOT, "@%s is held by uid %u, process %d",
			    SERVICE_SOCKET_NAME, unsigned(cred.uid), int(cred.pid));
	return 0;
}

// Agrees the version, then asks for every option this client knows of.
int handshake(quillmere_client *c)
{
	unsigned char word[WORD_SIZE];
	unsigned char reply[WORD_SIZE + STATUS_SIZE];

	int r = recv_exact(c, word, WORD_SIZE, "its version", true);
	if (r != 0)
		return r;
	uint32_t version = load_word(word);
	bool match = version == PROTOCOL_VERSION;
	store_word(reply, PROTOCOL_VERSION);
	reply[WORD_SIZE] = match ? STATUS_OK : STATUS_NOT_OK;
	if ((r = send_bytes(c, reply, sizeof(reply))) != 0)
		return r;
	if (!match)
		return fail(c, QUILLMERE_EPROTO, "it speaks version 0x%08x, this client 0x%08x",
			    version, PROTOCOL_VERSION);
	if ((r = expect_ok(c, "this client's version")) != 0)
		return r;

	if ((r = recv_exact(c, word, WORD_SIZE, "its options", false)) != 0)
		return r;
	uint32_t offered = load_word(word);
	store_word(reply, OFFERED_OPTIONS);
	reply[WORD_SIZE] = STATUS_OK;
	if ((r = send_bytes(c, reply, sizeof(reply))) != 0)
		return r;
	if ((r = expect_ok(c, "this client's options")) != 0)
		return r;
	c->version = version;
	c->options = offered & OFFERED_OPTIONS;
	return 0;
}

int usable(quillmere_client *c)
{
	if (c->state == STATE_READY)
		return 0;
	snprintf(c->detail, sizeof(c->detail), "%s",
		 c->state == STATE_FINISHED ? "the connection is finished"
					    : "the connection failed earlier");
	return QUILLMERE_EINVAL;
}

} // namespace

API int quillmere_connect(quillmere_client **client, int timeout_ms)
{
	if (!client)
		return QUILLMERE_EINVAL;
	int saved_errno = errno;
	void *memory = malloc(sizeof(quillmere_client));
	if (!memory) {
		*client = nullptr;
		return QUILLMERE_ESYSTEM;	// errno is ENOMEM
	}
	// Zeroed, with no descriptor: a placement new needs nothing of the C++ runtime.
	quillmere_client *c = new (memory) quillmere_client();
	*client = c;
	c->state = STATE_NEW;
	c->timeout_ms = timeout_ms > 0 ? timeout_ms : 0;
	start_call(c, c->timeout_ms);
	int r = connect_socket(c);
	if (r == 0)
		r = handshake(c);
	if (r == 0)
		c->state = STATE_READY;
	return result(c, r, saved_errno);
}

API int quillmere_open_url(quillmere_client *c, const char *url)
{
	if (!c)
		return QUILLMERE_EINVAL;
	int saved_errno = errno;
	start_call(c, c->timeout_ms);
	if (!url) {
		snprintf(c->detail, sizeof(c->detail), "no URL");
		return QUILLMERE_EINVAL;
	}
	int r = usable(c);
	if (r != 0)
		return r;
	size_t size = strlen(url);
	if (size > OPEN_URL_MAX_LENGTH) {
		snprintf(c->detail, sizeof(c->detail), "%zu bytes, the service opens at most %zu",
			 size, OPEN_URL_MAX_LENGTH);
		return QUILLMERE_ETOOLONG;
	}

	unsigned char head[CMD_HEADER_SIZE + OPEN_URL_PREFIX_SIZE] = {};
	store_word(head, CMD_OPEN_URL);
	store_word(head + 4, uint32_t(OPEN_URL_PREFIX_SIZE + size));
	iovec iov[2] = {
		{head, sizeof(head)},
		{const_cast<char *>(url), size},
	};
	// Counted before the send: a half-sent command may still be opened.
	c->urls_sent++;
	return result(c, send_all(c, iov, 2), saved_errno);
}

API int quillmere_finish(quillmere_client *c)
{
	if (!c)
		return QUILLMERE_EINVAL;
	int saved_errno = errno;
	int r = usable(c);
	if (r != 0)
		return r;
	// The service may leave each opener OPENER_WAIT_MS before it goes on.
	int64_t bound = c->timeout_ms;
	if (bound > 0)
		bound += int64_t(OPENER_WAIT_MS) * int64_t(c->urls_sent);
	start_call(c, bound);
	if (shutdown(c->fd.get(), SHUT_WR) < 0)
		return result(c, fail_errno(c, "shutdown"), saved_errno);
	for (;;) {
		r = wait_for(c, POLLIN, "the service to carry out the commands");
		if (r != 0)
			return result(c, r, saved_errno);
		unsigned char byte;
		ssize_t n = recv(c->fd.get(), &byte, 1, MSG_DONTWAIT);
		if (n == 0) {
			// Both sides are done: a caller polling quillmere_fd would
			// otherwise see an end of file for ever.
			c->fd.reset();
			c->state = STATE_FINISHED;
			return result(c, 0, saved_errno);
		}
		if (n > 0)
			r = fail(c, QUILLMERE_EPROTO, "unexpected byte 0x%02x after the handshake", byte);
		else if (errno == ECONNRESET)
			r = fail(c, QUILLMERE_EPROTO,
				 "it closed the connection before it read every command");
		else if (errno != EINTR && errno != EAGAIN)
			r = fail_errno(c, "recv");
		if (r != 0)
			return result(c, r, saved_errno);
	}
}

API void quillmere_free(quillmere_client *c)
{
	if (!c)
		return;
	int saved_errno = errno;
	c->~quillmere_client();
	free(c);
	errno = saved_errno;
}

API const char *quillmere_strerror(int code)
{
	switch (code) {
	case 0:
		return "done";
	case QUILLMERE_ENOTRUNNING:
		return "the service is not running";
	case QUILLMERE_EREFUSED:
		return "the service refused the connection";
	case QUILLMERE_ENOTROOT:
		return "the service is not running as root";
	case QUILLMERE_EPROTO:
		return "unexpected answer from the service";
	case QUILLMERE_ETIMEDOUT:
		return "the service did not answer in time";
	case QUILLMERE_ETOOLONG:
		return "the URL is longer than the service opens";
	case QUILLMERE_ESYSTEM:
		return "system error";
	case QUILLMERE_EINVAL:
		return "invalid argument or unusable connection";
	}
	return "unknown result";
}

API const char *quillmere_last_error(const quillmere_client *c)
{
	return c ? c->detail : "";
}

API int quillmere_listener(const quillmere_client *c, uid_t *uid, pid_t *pid)
{
	if (!c || !c->have_listener)
		return QUILLMERE_EINVAL;
	if (uid)
		*uid = c->listener_uid;
	if (pid)
		*pid = c->listener_pid;
	return 0;
}

API uint32_t quillmere_version(const quillmere_client *c)
{
	return c ? c->version : 0;
}

API uint32_t quillmere_options(const quillmere_client *c)
{
	return c ? c->options : 0;
}

API int quillmere_fd(const quillmere_client *c)
{
	return c ? c->fd.get() : -1;
}
