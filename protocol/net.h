// The connection protocol spoken on one accepted connection: handshake,
// command framing, and the open-URL command.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/process.h"
#include "protocol/wire.h"

struct bufferevent;

// A connection that has not finished its handshake by then is ended.
constexpr int HANDSHAKE_DEADLINE_S = 10;
// How long a connection that ends waits for its last replies to go out.
constexpr int CLOSE_FLUSH_MS = 1000;
// Openers one connection may leave running past OPENER_WAIT_MS; with this
// many, the next opener waits until one of them has ended.
constexpr size_t OPENERS_LEFT_RUNNING = 4;

enum : uint32_t {
	PHASE_VERSION = 0,
	PHASE_VERSION_STATUS = 1,
	PHASE_OPTIONS = 2,
	PHASE_OPTIONS_STATUS = 3,
	PHASE_COMMAND = 4,
	PHASE_CLOSE = 5,
};

struct net_client {
	bufferevent *bev;
	uint32_t phase;
	uint32_t options;
};

// One connection per process.
extern net_client client;

// Notes that this process's connection starts now: called at once after the
// fork, so that the time spent before net_client_init counts against the
// handshake deadline.
void net_client_started();
int net_client_init(int fd);
void net_client_free();

void read_cb(bufferevent *bev, void *arg);
void write_cb(bufferevent *bev, void *arg);
void event_cb(bufferevent *bev, short events, void *arg);

// Handlers of one complete, pulled-up unit. They return true while the
// connection goes on, false when it must end (after what is queued is out).
bool received_handshake(const unsigned char *unit);
bool received_data(const unsigned char *message);

// Runs the opener for the URL and waits for it, at most OPENER_WAIT_MS; one
// still running then is left running and reaped from the event loop. 0 once
// the opener was started, whatever became of it; a negated errno when it was not.
int open_url(const unsigned char *url, size_t length);
// Where the service sets it, called once before the first opener of the
// connection is started, so that what this process starts from then on runs
// where the service wants it; it returns in bounded time, whatever the outcome.
extern void (*before_first_opener)();
// Stops watching the openers left running, without waiting: whatever still
// runs when this process ends is init's.
void forget_openers();
