// The connection protocol on one accepted connection: the handshake, the
// framing of commands, and the ends of a connection.
#include "protocol/net.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/util.h>
#include <unistd.h>

#include <cstdint>

#include "protocol/policy.h"
#include "protocol/process.h"

net_client client;

namespace {

// A command of 8 + 0xFFFFFFFF bytes has to be addressable as one block.
static_assert(sizeof(size_t) >= sizeof(uint64_t));

// From here on nothing is read; the connection ends once the output is out.
void begin_close(bufferevent *bev)
{
	bufferevent_setcb(bev, nullptr, write_cb, event_cb, nullptr);
	write_cb(bev, nullptr);
}

} // namespace

int net_client_init(int fd)
{
	evutil_make_socket_nonblocking(fd);
	client = {};

	client.bev = bufferevent_socket_new(ev_base, fd,
		BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS);
	if (!client.bev) {
		NET_LOG(LEVEL_ERROR, "connection failed");
		close(fd);
		return -1;
	}
	bufferevent_setcb(client.bev, read_cb, nullptr, event_cb, nullptr);
	if (bufferevent_enable(client.bev, EV_READ | EV_WRITE) != 0) {
		NET_LOG(LEVEL_ERROR, "unable to set events");
		bufferevent_free(client.bev);
		client.bev = nullptr;
		return -1;
	}

	unsigned char version[WORD_SIZE];
	store_word(version, PROTOCOL_VERSION);
	if (bufferevent_write(client.bev, version, sizeof version) != 0) {
		NET_LOG(LEVEL_ERROR, "unable to write");
		event_base_loopbreak(ev_base);
	}
	return 0;
}

void net_client_free()
{
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
			need = CMD_HEADER_SIZE;
			if (available >= CMD_HEADER_SIZE) {
				const unsigned char *header = evbuffer_pullup(input, CMD_HEADER_SIZE);
				if (!header) {
					NET_LOG(LEVEL_ERROR, "unable to pull");
					event_base_loopbreak(ev_base);
					return;
				}
				need = CMD_HEADER_SIZE + static_cast<uint64_t>(load_word(header + 4));
			}
			break;
		}

		// Wake up again only once the whole unit is here.
		if (available < need) {
			bufferevent_setwatermark(bev, EV_READ, need, 0);
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
		if (!goes_on)
			return;

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
	}
}

void write_cb(bufferevent *bev, void *)
{
	if (evbuffer_get_length(bufferevent_get_output(bev)) == 0)
		event_base_loopbreak(ev_base);
}

void event_cb(bufferevent *, short events, void *)
{
	if (events & BEV_EVENT_EOF) {
		NET_LOG(LEVEL_INFO, "disconnected");
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

	if (bufferevent_write(client.bev, reply, reply_size) != 0) {
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
	NET_LOG(LEVEL_DEBUG, "cmd %u/%lu", cmd, static_cast<unsigned long>(length));

	if (cmd != CMD_OPEN_URL) {
		NET_LOG(LEVEL_WARNING, "unknown cmd %u", cmd);
		return true;
	}
	if (length < OPEN_URL_PREFIX_SIZE) {
		NET_LOG(LEVEL_ERROR, "protocol error cmd %u/%lu", cmd, static_cast<unsigned long>(length));
		event_base_loopbreak(ev_base);
		return false;
	}
	const unsigned char *url = message + CMD_HEADER_SIZE + OPEN_URL_PREFIX_SIZE;
	size_t url_length = length - OPEN_URL_PREFIX_SIZE;
	logger_dump(plgr, LEVEL_DUMP, "net", __LINE__, __func__, url, url_length, "URL");
	if (!policy_allows(url, url_length))
		return true;
	open_url(url, url_length);
	return true;
}
