// Arbitrary bytes, cut into chunks that the input chooses, go through a real
// connection's read path. The replies and the opened URLs must be exactly
// what an independent parse of the same bytes predicts.
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/record_launch.h"
#include "protocol/net.h"
#include "protocol/process.h"

event_base *ev_base;
static logger fuzz_logger;
logger *plgr = &fuzz_logger;

namespace {

// Renders every record, dumps included, so the logger runs on protocol input.
void touch_writer(int, const char *text, void *)
{
	volatile size_t n = strlen(text);
	(void)n;
}

void fail(const char *what)
{
	fprintf(stderr, "net_fuzz: %s\n", what);
	abort();
}

uint32_t word_at(const uint8_t *p)
{
	uint32_t v;
	memcpy(&v, p, sizeof v);
	return v;
}

struct outcome {
	std::string replies;
	std::vector<std::string> urls;
	bool ended = false;	// the service must end the connection by itself
	bool flushed = false;	// and only once its replies are out
};

// What the service must do with these bytes, worked out without it.
outcome predict(const uint8_t *d, size_t n)
{
	outcome o;
	auto word = [](uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); };
	o.replies = word(PROTOCOL_VERSION);
	size_t at = 0;
	if (n < 4)
		return o;
	if (word_at(d) != PROTOCOL_VERSION) {
		o.replies += char(STATUS_NOT_OK);
		o.ended = o.flushed = true;
		return o;
	}
	o.replies += char(STATUS_OK);
	at = 4;
	if (n - at < 1)
		return o;
	if (d[at++] != STATUS_OK) {
		o.ended = o.flushed = true;
		return o;
	}
	o.replies += word(OFFERED_OPTIONS);
	if (n - at < 4)
		return o;
	at += 4;
	o.replies += char(STATUS_OK);
	if (n - at < 1)
		return o;
	if (d[at++] != STATUS_OK) {
		o.ended = o.flushed = true;
		return o;
	}
	while (n - at >= CMD_HEADER_SIZE) {
		uint32_t cmd = word_at(d + at);
		uint64_t length = word_at(d + at + 4);
		// A header too short for an open-URL body ends the connection at once.
		if (cmd == CMD_OPEN_URL && length < OPEN_URL_PREFIX_SIZE) {
			o.ended = true;
			break;
		}
		if (n - at - CMD_HEADER_SIZE < length)
			break;
		if (cmd == CMD_OPEN_URL) {
			size_t url = at + CMD_HEADER_SIZE + OPEN_URL_PREFIX_SIZE;
			o.urls.emplace_back(reinterpret_cast<const char *>(d + url),
					    length - OPEN_URL_PREFIX_SIZE);
		}
		at += CMD_HEADER_SIZE + length;
	}
	return o;
}

void collect(int fd, std::string &out)
{
	char buf[4096];
	ssize_t r;
	while ((r = read(fd, buf, sizeof buf)) > 0)
		out.append(buf, size_t(r));
}

int pending(int fd)
{
	int n = 0;
	if (ioctl(fd, FIONREAD, &n) != 0)
		fail("FIONREAD");
	return n;
}

// Runs the loop until the service has taken in everything sent and has
// nothing left to do, or until it has ended the connection.
void settle(int service_fd)
{
	int idle = 0;
	for (int i = 0; i < 10000; i++) {
		if (event_base_got_break(ev_base))
			return;
		bool busy = pending(service_fd) > 0 ||
			    event_base_get_num_events(ev_base, EVENT_BASE_COUNT_ACTIVE) > 0 ||
			    (client.bev && evbuffer_get_length(bufferevent_get_output(client.bev)) > 0);
		idle = busy ? 0 : idle + 1;
		if (idle > 2)
			return;
		event_base_loop(ev_base, EVLOOP_NONBLOCK);
	}
	fail("the connection never settled");
}

// The leading two bytes choose the chunk sizes; the rest is the stream.
struct splitter {
	uint32_t state;
	uint32_t largest;
	size_t next(size_t left)
	{
		if (largest == 0)
			return left;
		state ^= state << 13;
		state ^= state >> 17;
		state ^= state << 5;
		size_t n = 1 + state % largest;
		return n < left ? n : left;
	}
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	ev_base = event_base_new();
	if (!ev_base || logger_init(plgr) != 0 ||
	    logger_set_format(plgr, "%v: %D: %P: %F: %m%n") != 0)
		fail("set-up");
	logger_set_level(plgr, LEVEL_DUMP);
	logger_set_writer(plgr, touch_writer, nullptr);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	splitter split{0, 0};
	if (size >= 2) {
		split.state = data[0] | uint32_t(data[1]) << 8 | 0x10000u;
		split.largest = data[0] == 0 ? 0 : data[1] + 1u;
		data += 2;
		size -= 2;
	}
	outcome want = predict(data, size);

	int sv[2];
	if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
		fail("socketpair");
	int peer = sv[1];
	fcntl(peer, F_SETFL, O_NONBLOCK);
	recorded_urls.clear();
	if (net_client_init(sv[0]) != 0)
		fail("net_client_init");

	std::string got;
	size_t at = 0;
	settle(sv[0]);
	while (at < size && !event_base_got_break(ev_base)) {
		size_t n = split.next(size - at);
		if (write(peer, data + at, n) != ssize_t(n))
			fail("short write to the connection");
		at += n;
		settle(sv[0]);
		collect(peer, got);
	}
	bool ended = event_base_got_break(ev_base);
	if (ended != want.ended)
		fail(want.ended ? "connection went on after an ending unit"
				: "connection ended on valid input");
	if (!ended) {
		// The end of the stream must end the connection.
		shutdown(peer, SHUT_WR);
		settle(sv[0]);
		if (!event_base_got_break(ev_base))
			fail("end of file did not end the connection");
	}
	collect(peer, got);
	// A refused handshake closes only once its replies are out; any other
	// ending may leave them queued, and they count as sent.
	if (client.bev) {
		evbuffer *out = bufferevent_get_output(client.bev);
		size_t queued = evbuffer_get_length(out);
		if (queued && want.flushed)
			fail("the connection closed before its replies were out");
		if (queued)
			got.append(reinterpret_cast<const char *>(evbuffer_pullup(out, -1)), queued);
	}
	if (got != want.replies)
		fail("replies differ from the handshake the bytes carried");
	if (recorded_urls != want.urls)
		fail("opened URLs differ from the commands the bytes carried");

	net_client_free();
	close(peer);
	// Lets libevent finish freeing the bufferevent.
	event_base_loop(ev_base, EVLOOP_NONBLOCK);
	return 0;
}
