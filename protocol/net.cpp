// The connection protocol on one accepted connection: the handshake, the
// framing of commands, and the ends of a connection.
#include "protocol/net.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/util.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "protocol/policy.h"
#include "protocol/process.h"
#include "protocol/record_pace.h"

net_client client;
void (*before_first_opener)() = nullptr;

namespace {

// The records of a command belong to the handler callers know.
#define DATA_LOG(level, ...) LOGGER_LOG(plgr, (level), "net", "received_data", __VA_ARGS__)

// The largest unit the connection ever holds whole: an open-URL command
// with the longest URL the service opens. Anything larger is skipped.
constexpr size_t LARGEST_UNIT = CMD_HEADER_SIZE + OPEN_URL_PREFIX_SIZE + OPEN_URL_MAX_LENGTH;
// libevent stops reading once this much input waits, whatever the peer sends.
constexpr size_t INPUT_HIGH_WATERMARK = LARGEST_UNIT + 16384;

// Ends a connection that has not reached the command phase in time.
event *deadline_event = nullptr;
// When the connection's child was forked; unset, the deadline counts from set-up.
timespec started = {};
// Bounds the wait for the last replies to go out.
event *close_event = nullptr;
// The records of skipped commands.
record_pace unknown_commands;
record_pace overlong_urls;
// Body bytes of a skipped command still to come; they are dropped as they arrive.
uint64_t skip_left = 0;
// The header of the command being awaited has been seen and logged.
bool header_seen = false;
// The URLs this connection opened, for the policy's pace.
url_pace pace;

void deadline_cb(evutil_socket_t, short, void *);
void close_timeout_cb(evutil_socket_t, short, void *)
{
	event_base_loopbreak(ev_base);
}

// From here on nothing is read; the connection ends once the output is out,
// or after a short while for a peer that does not read.
void begin_close(bufferevent *bev)
{
	bufferevent_disable(bev, EV_READ);
	bufferevent_setcb(bev, nullptr, write_cb, event_cb, nullptr);
	if (deadline_event)
		event_del(deadline_event);
	if (close_event && !evtimer_pending(close_event, nullptr)) {
		timeval bound = {CLOSE_FLUSH_MS / 1000, CLOSE_FLUSH_MS % 1000 * 1000};
		evtimer_add(close_event, &bound);
	}
	if (evbuffer_get_length(bufferevent_get_output(bev)) != 0)
		bufferevent_enable(bev, EV_WRITE);
	write_cb(bev, nullptr);
}

// What the socket did not take at once waits in the bufferevent, which then
// watches for room to write; until then it does not wake for it.
int queue_reply(const unsigned char *bytes, size_t size)
{
	if (bufferevent_write(client.bev, bytes, size) != 0 ||
	    bufferevent_enable(client.bev, EV_WRITE) != 0)
		return -1;
	return 0;
}

// Sends a reply at once when nothing is queued before it, so that it costs no
// round through the loop; what the socket does not take now is queued in order,
// and a failure is left for the bufferevent to meet and report as before.
int send_reply(const unsigned char *bytes, size_t size)
{
	if (evbuffer_get_length(bufferevent_get_output(client.bev)) == 0) {
		ssize_t sent = send(bufferevent_getfd(client.bev), bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
		if (sent > 0) {
			bytes += sent;
			size -= static_cast<size_t>(sent);
		}
	}
	return size == 0 ? 0 : queue_reply(bytes, size);
}

void deadline_cb(evutil_socket_t, short, void *)
{
	if (!client.bev || client.phase >= PHASE_COMMAND)
		return;
	NET_LOG(LEVEL_ERROR, "handshake not finished in %i s", HANDSHAKE_DEADLINE_S);
	client.phase = PHASE_CLOSE;
	begin_close(client.bev);
}

// Decides on a command whose header has just arrived: false when the
// connection must end. Sets skip_left for a command that is dropped unread.
bool received_header(const unsigned char *header)
{
	uint32_t cmd = load_word(header);
	uint32_t length = load_word(header + 4);
	DATA_LOG(LEVEL_DEBUG, "cmd %u/%lu", cmd, static_cast<unsigned long>(length));

	if (cmd != CMD_OPEN_URL) {
		if (record_due(&unknown_commands))
			DATA_LOG(LEVEL_WARNING, "unknown cmd %u", cmd);
		skip_left = length;
		return true;
	}
	if (length < OPEN_URL_PREFIX_SIZE) {
		DATA_LOG(LEVEL_ERROR, "protocol error cmd %u/%lu", cmd, static_cast<unsigned long>(length));
		return false;
	}
	if (length - OPEN_URL_PREFIX_SIZE > OPEN_URL_MAX_LENGTH) {
		if (record_due(&overlong_urls))
			DATA_LOG(LEVEL_ERROR, "URL too long: %lu bytes, skipped",
				 static_cast<unsigned long>(length));
		skip_left = length;
		return true;
	}
	header_seen = true;
	return true;
}

} // namespace

void net_client_started()
{
	clock_gettime(CLOCK_MONOTONIC, &started);
}

namespace {

// What is left of the handshake's time, counted from the fork.
timeval deadline_left()
{
	timespec now {};
	clock_gettime(CLOCK_MONOTONIC, &now);
	if (started.tv_sec == 0 && started.tv_nsec == 0)
		return {HANDSHAKE_DEADLINE_S, 0};
	long long spent_us = (now.tv_sec - started.tv_sec) * 1000000LL +
			     (now.tv_nsec - started.tv_nsec) / 1000;
	long long left_us = std::max(0LL, HANDSHAKE_DEADLINE_S * 1000000LL - spent_us);
	return {static_cast<time_t>(left_us / 1000000), static_cast<suseconds_t>(left_us % 1000000)};
}

} // namespace

int net_client_init(int fd)
{
	evutil_make_socket_nonblocking(fd);
	client = {};
	skip_left = 0;
	pace = {};
	header_seen = false;

	// The peer waits for this word before all else: it goes out before the
	// connection is set up, and only what the socket does not take is queued.
	unsigned char version[WORD_SIZE];
	store_word(version, PROTOCOL_VERSION);
	ssize_t sent = send(fd, version, sizeof version, MSG_DONTWAIT | MSG_NOSIGNAL);
	size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;

	client.bev = bufferevent_socket_new(ev_base, fd,
		BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS);
	if (!client.bev) {
		NET_LOG(LEVEL_ERROR, "connection failed");
		close(fd);
		return -1;
	}
	bufferevent_setcb(client.bev, read_cb, nullptr, event_cb, nullptr);
	bufferevent_setwatermark(client.bev, EV_READ, 0, INPUT_HIGH_WATERMARK);
	deadline_event = evtimer_new(ev_base, deadline_cb, nullptr);
	close_event = evtimer_new(ev_base, close_timeout_cb, nullptr);
	timeval deadline = deadline_left();
	if (!deadline_event || !close_event || evtimer_add(deadline_event, &deadline) != 0 ||
	    bufferevent_enable(client.bev, EV_READ) != 0) {
		NET_LOG(LEVEL_ERROR, "unable to set events");
		net_client_free();
		return -1;
	}

	if (done < sizeof version && queue_reply(version + done, sizeof version - done) != 0) {
		NET_LOG(LEVEL_ERROR, "unable to write");
		event_base_loopbreak(ev_base);
	}
	return 0;
}

void net_client_free()
{
	if (unsigned long skipped = take_unrecorded(&unknown_commands))
		DATA_LOG(LEVEL_WARNING, "skipped %lu more unknown commands", skipped);
	if (unsigned long skipped = take_unrecorded(&overlong_urls))
		DATA_LOG(LEVEL_ERROR, "skipped %lu more URLs too long", skipped);
	policy_finish(&pace);
	forget_openers();
	for (event **ev : {&deadline_event, &close_event}) {
		if (*ev) {
			event_free(*ev);
			*ev = nullptr;
		}
	}
	if (client.bev) {
		bufferevent_free(client.bev);
		client.bev = nullptr;
	}
}

void read_cb(bufferevent *bev, void *)
{
	evbuffer *input = bufferevent_get_input(bev);
	size_t available = evbuffer_get_length(input);

	if (client.phase == PHASE_CLOSE) {
		begin_close(bev);
		return;
	}
	for (;;) {
		if (client.phase > PHASE_CLOSE) {
			NET_LOG(LEVEL_ERROR, "phase error: %i", static_cast<int>(client.phase));
			event_base_loopbreak(ev_base);
			return;
		}

		uint64_t need;
		switch (client.phase) {
		case PHASE_VERSION:
		case PHASE_OPTIONS:
			need = WORD_SIZE;
			break;
		case PHASE_VERSION_STATUS:
		case PHASE_OPTIONS_STATUS:
			need = STATUS_SIZE;
			break;
		default:
			if (skip_left > 0) {
				// Dropped as it comes: a skipped command is never held whole.
				size_t n = static_cast<size_t>(std::min<uint64_t>(skip_left, available));
				if (evbuffer_drain(input, n) != 0) {
					NET_LOG(LEVEL_ERROR, "unable to drain");
					event_base_loopbreak(ev_base);
					return;
				}
				skip_left -= n;
				available -= n;
				if (skip_left > 0) {
					bufferevent_setwatermark(bev, EV_READ, 0, INPUT_HIGH_WATERMARK);
					return;
				}
				continue;
			}
			need = CMD_HEADER_SIZE;
			if (available >= CMD_HEADER_SIZE) {
				const unsigned char *header = evbuffer_pullup(input, CMD_HEADER_SIZE);
				if (!header) {
					NET_LOG(LEVEL_ERROR, "unable to pull");
					event_base_loopbreak(ev_base);
					return;
				}
				if (!header_seen) {
					if (!received_header(header)) {
						begin_close(bev);
						return;
					}
					if (skip_left > 0 || !header_seen) {
						evbuffer_drain(input, CMD_HEADER_SIZE);
						available -= CMD_HEADER_SIZE;
						continue;
					}
				}
				need = CMD_HEADER_SIZE + static_cast<uint64_t>(load_word(header + 4));
			}
			break;
		}

		// Wake up again only once the whole unit is here.
		if (available < need) {
			bufferevent_setwatermark(bev, EV_READ, need, INPUT_HIGH_WATERMARK);
			return;
		}

		const unsigned char *unit = evbuffer_pullup(input, static_cast<ev_ssize_t>(need));
		if (!unit) {
			NET_LOG(LEVEL_ERROR, "unable to pull");
			event_base_loopbreak(ev_base);
			return;
		}
		bool goes_on = client.phase == PHASE_COMMAND ? received_data(unit)
							     : received_handshake(unit);
		header_seen = false;
		if (!goes_on) {
			begin_close(bev);
			return;
		}

		if (evbuffer_drain(input, need) != 0) {
			NET_LOG(LEVEL_ERROR, "unable to drain");
			event_base_loopbreak(ev_base);
			return;
		}
		available -= need;

		if (client.phase == PHASE_CLOSE) {
			begin_close(bev);
			return;
		}
		if (client.phase == PHASE_COMMAND && deadline_event)
			event_del(deadline_event);
	}
}

void write_cb(bufferevent *bev, void *)
{
	if (evbuffer_get_length(bufferevent_get_output(bev)) == 0)
		event_base_loopbreak(ev_base);
}

void event_cb(bufferevent *bev, short events, void *)
{
	if (events & BEV_EVENT_EOF) {
		NET_LOG(LEVEL_INFO, "disconnected");
		// A peer that only shut its side still reads the replies it is owed.
		if (bev && !(events & BEV_EVENT_ERROR) &&
		    evbuffer_get_length(bufferevent_get_output(bev)) != 0) {
			begin_close(bev);
			return;
		}
		event_base_loopbreak(ev_base);
	} else if (events & BEV_EVENT_ERROR) {
		NET_LOG(LEVEL_ERROR, "connection error");
		event_base_loopbreak(ev_base);
	} else {
		NET_LOG(LEVEL_INFO, "event: %hu", static_cast<unsigned short>(events));
	}
}

bool received_handshake(const unsigned char *unit)
{
	unsigned char reply[WORD_SIZE];
	size_t reply_size = 0;

	switch (client.phase) {
	case PHASE_VERSION: {
		uint32_t version = load_word(unit);
		NET_LOG(LEVEL_INFO, "version 0x%x/0x%x", version, PROTOCOL_VERSION);
		bool match = version == PROTOCOL_VERSION;
		client.phase = match ? PHASE_VERSION_STATUS : PHASE_CLOSE;
		reply[0] = match ? STATUS_OK : STATUS_NOT_OK;
		reply_size = STATUS_SIZE;
		break;
	}
	case PHASE_VERSION_STATUS:
		if (unit[0] != STATUS_OK) {
			client.phase = PHASE_CLOSE;
			NET_LOG(LEVEL_ERROR, "version not ok");
			return true;
		}
		client.phase = PHASE_OPTIONS;
		client.options = OFFERED_OPTIONS;
		store_word(reply, client.options);
		reply_size = WORD_SIZE;
		break;
	case PHASE_OPTIONS: {
		uint32_t options = load_word(unit);
		NET_LOG(LEVEL_INFO, "options 0x%x/0x%x", options, client.options);
		client.options &= options;
		client.phase = PHASE_OPTIONS_STATUS;
		reply[0] = STATUS_OK;
		reply_size = STATUS_SIZE;
		break;
	}
	case PHASE_OPTIONS_STATUS:
		if (unit[0] != STATUS_OK) {
			client.phase = PHASE_CLOSE;
			NET_LOG(LEVEL_ERROR, "options not ok");
			return true;
		}
		client.phase = PHASE_COMMAND;
		return true;
	default:
		NET_LOG(LEVEL_ERROR, "phase error: %i", static_cast<int>(client.phase));
		event_base_loopbreak(ev_base);
		return false;
	}

	if (send_reply(reply, reply_size) != 0) {
		NET_LOG(LEVEL_ERROR, "unable to write");
		event_base_loopbreak(ev_base);
		return false;
	}
	return true;
}

bool received_data(const unsigned char *message)
{
	uint32_t cmd = load_word(message);
	uint32_t length = load_word(message + 4);
	// Anything else was judged, and skipped or refused, on its header.
	if (cmd != CMD_OPEN_URL || length < OPEN_URL_PREFIX_SIZE ||
	    length - OPEN_URL_PREFIX_SIZE > OPEN_URL_MAX_LENGTH)
		return true;
	const unsigned char *url = message + CMD_HEADER_SIZE + OPEN_URL_PREFIX_SIZE;
	size_t url_length = length - OPEN_URL_PREFIX_SIZE;
	logger_dump(plgr, LEVEL_DUMP, "net", __LINE__, __func__, url, url_length, "URL");
	// The pace counts only what the scheme and host rules let through.
	if (!policy_allows(url, url_length))
		return true;
	int64_t now = monotonic_ns();
	if (!pace_allows(&pace, now))
		return true;
	if (open_url(url, url_length) == 0)
		pace_opened(&pace, now);
	return true;
}
