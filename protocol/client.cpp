#include "protocol/client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sysexits.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

int64_t now_ms()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left before the deadline, or -1 for no deadline.
int64_t remaining_ms(const client_conn *conn)
{
	if (conn->deadline_ms < 0)
		return -1;
	int64_t left = conn->deadline_ms - now_ms();
	return left > 0 ? left : 0;
}

__attribute__((format(printf, 3, 4)))
client_result fail(client_conn *conn, client_result result, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	vsnprintf(conn->detail, sizeof(conn->detail), format, ap);
	va_end(ap);
	return result;
}

client_result fail_errno(client_conn *conn, const char *call)
{
	conn->error = errno;
	return fail(conn, CLIENT_SYSTEM, "%s: %s", call, strerror(conn->error));
}

client_result closed_early(client_conn *conn, const char *what)
{
	return fail(conn, CLIENT_PROTOCOL, "it closed the connection %s", what);
}

// Waits until the socket is ready for events or the deadline has passed.
client_result wait_for(client_conn *conn, short events, const char *what)
{
	for (;;) {
		int64_t left = remaining_ms(conn);
		if (left == 0)
			return fail(conn, CLIENT_TIMEOUT, "gave up waiting for %s", what);
		pollfd pfd = {conn->fd, events, 0};
		int r = poll(&pfd, 1, left < 0 ? -1 : left > INT_MAX ? INT_MAX : int(left));
		if (r > 0)
			return CLIENT_OK;
		if (r < 0 && errno != EINTR)
			return fail_errno(conn, "poll");
	}
}

client_result recv_exact(client_conn *conn, unsigned char *buf, size_t size, const char *what)
{
	size_t got = 0;
	while (got < size) {
		client_result r = wait_for(conn, POLLIN, what);
		if (r != CLIENT_OK)
			return r;
		ssize_t n = recv(conn->fd, buf + got, size - got, MSG_DONTWAIT);
		if (n > 0) {
			got += size_t(n);
		} else if (n == 0 || errno == ECONNRESET) {
			return fail(conn, CLIENT_PROTOCOL,
				    "it closed the connection before sending %s", what);
		} else if (errno != EINTR && errno != EAGAIN) {
			return fail_errno(conn, "recv");
		}
	}
	return CLIENT_OK;
}

client_result send_all(client_conn *conn, iovec *iov, size_t count)
{
	while (count > 0 && iov->iov_len == 0) {
		iov++;
		count--;
	}
	while (count > 0) {
		client_result r = wait_for(conn, POLLOUT, "room to send");
		if (r != CLIENT_OK)
			return r;
		msghdr msg = {};
		msg.msg_iov = iov;
		msg.msg_iovlen = count;
		ssize_t n = sendmsg(conn->fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
		if (n < 0) {
			if (errno == EINTR || errno == EAGAIN)
				continue;
			if (errno == EPIPE || errno == ECONNRESET)
				return closed_early(conn, "while the client was sending");
			return fail_errno(conn, "sendmsg");
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
	return CLIENT_OK;
}

client_result send_bytes(client_conn *conn, const unsigned char *data, size_t size)
{
	iovec iov = {const_cast<unsigned char *>(data), size};
	return send_all(conn, &iov, 1);
}

// Reads the service's status byte on what this client sent as subject.
client_result expect_ok(client_conn *conn, const char *subject)
{
	char what[64];
	snprintf(what, sizeof(what), "its status on %s", subject);
	unsigned char status;
	client_result r = recv_exact(conn, &status, 1, what);
	if (r != CLIENT_OK)
		return r;
	if (status == STATUS_NOT_OK)
		return fail(conn, CLIENT_PROTOCOL, "it refused %s", subject);
	if (status != STATUS_OK)
		return fail(conn, CLIENT_PROTOCOL, "unexpected byte 0x%02x as %s", status, what);
	return CLIENT_OK;
}

} // namespace

client_result client_connect(client_conn *conn, int64_t timeout_ms)
{
	conn->deadline_ms = timeout_ms > 0 ? now_ms() + timeout_ms : -1;
	client_close(conn);
	conn->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (conn->fd < 0)
		return fail_errno(conn, "socket");

	// A blocking connect waits while the backlog is full; bound that wait.
	int64_t left = remaining_ms(conn);
	if (left >= 0) {
		if (left == 0)
			left = 1;
		timeval tv = {time_t(left / 1000), suseconds_t(left % 1000 * 1000)};
		if (setsockopt(conn->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) < 0)
			return fail_errno(conn, "setsockopt");
	}

	sockaddr_un addr;
	socklen_t length = service_address(&addr);
	while (connect(conn->fd, reinterpret_cast<sockaddr *>(&addr), length) < 0) {
		if (errno == EINTR)
			continue;
		if (errno == ECONNREFUSED)
			return fail(conn, CLIENT_UNAVAILABLE, "nothing listens on @%s",
				    SERVICE_SOCKET_NAME);
		if (errno == EAGAIN || errno == EINPROGRESS || errno == ETIMEDOUT)
			return fail(conn, CLIENT_TIMEOUT, "the service accepts no connection");
		return fail_errno(conn, "connect");
	}

	// The abstract name has no permissions: anyone can bind it while the
	// service is down, so nothing is sent before the listener is known.
	ucred cred;
	socklen_t cred_length = sizeof(cred);
	if (getsockopt(conn->fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_length) < 0)
		return fail_errno(conn, "getsockopt");
	if (cred.uid != 0)
		return fail(conn, CLIENT_NOT_ROOT, "@%s is held by uid %u, process %d",
			    SERVICE_SOCKET_NAME, unsigned(cred.uid), int(cred.pid));
	return CLIENT_OK;
}

client_result client_handshake(client_conn *conn, uint32_t wanted)
{
	unsigned char word[WORD_SIZE];
	unsigned char reply[WORD_SIZE + STATUS_SIZE];

	client_result r = recv_exact(conn, word, WORD_SIZE, "its version");
	if (r != CLIENT_OK)
		return r;
	conn->version = load_word(word);
	bool match = conn->version == PROTOCOL_VERSION;
	store_word(reply, PROTOCOL_VERSION);
	reply[WORD_SIZE] = match ? STATUS_OK : STATUS_NOT_OK;
	if ((r = send_bytes(conn, reply, sizeof(reply))) != CLIENT_OK)
		return r;
	if (!match)
		return fail(conn, CLIENT_PROTOCOL, "it speaks version 0x%08x, this client 0x%08x",
			    conn->version, PROTOCOL_VERSION);
	if ((r = expect_ok(conn, "this client's version")) != CLIENT_OK)
		return r;

	if ((r = recv_exact(conn, word, WORD_SIZE, "its options")) != CLIENT_OK)
		return r;
	uint32_t offered = load_word(word);
	store_word(reply, wanted);
	reply[WORD_SIZE] = STATUS_OK;
	if ((r = send_bytes(conn, reply, sizeof(reply))) != CLIENT_OK)
		return r;
	if ((r = expect_ok(conn, "this client's options")) != CLIENT_OK)
		return r;
	conn->options = offered & wanted;
	return CLIENT_OK;
}

bool client_url_fits(std::string_view url)
{
	return url.size() <= CLIENT_MAX_URL_LENGTH && url.find('\0') == std::string_view::npos;
}

client_result client_open_url(client_conn *conn, std::string_view url)
{
	if (url.size() > CLIENT_MAX_URL_LENGTH)
		return fail(conn, CLIENT_BAD_URL, "%zu bytes do not fit one command", url.size());
	if (url.find('\0') != std::string_view::npos)
		return fail(conn, CLIENT_BAD_URL, "it holds a NUL byte");

	unsigned char head[CMD_HEADER_SIZE + OPEN_URL_PREFIX_SIZE] = {};
	store_word(head, CMD_OPEN_URL);
	store_word(head + 4, uint32_t(OPEN_URL_PREFIX_SIZE + url.size()));
	iovec iov[2] = {
		{head, sizeof(head)},
		{const_cast<char *>(url.data()), url.size()},
	};
	return send_all(conn, iov, 2);
}

client_result client_finish(client_conn *conn)
{
	if (shutdown(conn->fd, SHUT_WR) < 0)
		return fail_errno(conn, "shutdown");
	for (;;) {
		client_result r = wait_for(conn, POLLIN, "the service to carry out the commands");
		if (r != CLIENT_OK)
			return r;
		unsigned char byte;
		ssize_t n = recv(conn->fd, &byte, 1, MSG_DONTWAIT);
		if (n == 0)
			return CLIENT_OK;
		if (n > 0)
			return fail(conn, CLIENT_PROTOCOL, "unexpected byte 0x%02x after the handshake", byte);
		if (errno == ECONNRESET)
			return closed_early(conn, "before it read every command");
		if (errno != EINTR && errno != EAGAIN)
			return fail_errno(conn, "recv");
	}
}

void client_close(client_conn *conn)
{
	if (conn->fd >= 0)
		close(conn->fd);
	conn->fd = -1;
}

const char *client_message(client_result result)
{
	switch (result) {
	case CLIENT_OK:
		return "done";
	case CLIENT_UNAVAILABLE:
		return "the service is not running";
	case CLIENT_NOT_ROOT:
		return "the service is not running as root";
	case CLIENT_PROTOCOL:
		return "unexpected answer from the service";
	case CLIENT_TIMEOUT:
		return "the service did not answer in time";
	case CLIENT_BAD_URL:
		return "the URL cannot be sent";
	case CLIENT_SYSTEM:
		break;
	}
	return "system error";
}

int client_exit_status(client_result result)
{
	switch (result) {
	case CLIENT_OK:
		return EX_OK;
	case CLIENT_UNAVAILABLE:
		return EX_UNAVAILABLE;
	case CLIENT_NOT_ROOT:
		return EX_NOPERM;
	case CLIENT_PROTOCOL:
		return EX_PROTOCOL;
	case CLIENT_TIMEOUT:
		return EX_TEMPFAIL;
	case CLIENT_BAD_URL:
		return EX_DATAERR;
	case CLIENT_SYSTEM:
		break;
	}
	return EX_OSERR;
}
