// A peer of the service: connect, handshake, open URLs, finish. Every call
// returns a client_result; none throws. A failed call leaves the connection
// unusable except for client_close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/wire.h"

enum client_result : int {
	CLIENT_OK = 0,
	CLIENT_UNAVAILABLE,	// nobody listens on the service's address
	CLIENT_NOT_ROOT,	// the listener does not run as root
	CLIENT_PROTOCOL,	// refused handshake, unexpected byte or early close
	CLIENT_TIMEOUT,		// the deadline passed
	CLIENT_BAD_URL,		// the URL cannot be carried by one command
	CLIENT_SYSTEM,		// a system call failed; see error
};

// The longest URL whose command length still fits the 32-bit field.
constexpr uint64_t CLIENT_MAX_URL_LENGTH = UINT32_MAX - OPEN_URL_PREFIX_SIZE;

struct client_conn {
	int fd = -1;
	int64_t deadline_ms = -1;	// CLOCK_MONOTONIC; -1 waits forever
	uint32_t version = 0;		// the service's version word
	uint32_t options = 0;		// agreed options after the handshake
	int error = 0;			// errno of a CLIENT_SYSTEM result
	char detail[160] = "";		// what exactly went wrong, for messages
};

// Connects a fresh client_conn and checks that the listener runs as root,
// before anything is sent. timeout_ms bounds everything up to client_finish;
// 0 means no limit.
client_result client_connect(client_conn *conn, int64_t timeout_ms);

// Agrees the version and the options. The agreed options are the service's
// offer ANDed with wanted.
client_result client_handshake(client_conn *conn, uint32_t wanted);

// Queues one open-URL command; the service sends no reply to it.
client_result client_open_url(client_conn *conn, std::string_view url);

// Shuts the sending side and waits until the service closes the connection,
// which it does only after it has carried out every command it was sent.
client_result client_finish(client_conn *conn);

void client_close(client_conn *conn);

// A URL that one command can carry: not too long, no NUL byte (the service
// would cut the argument there).
bool client_url_fits(std::string_view url);

// The one-line message for a result (without the detail).
const char *client_message(client_result result);

// The sysexits status that quillmere-open reports for a result.
int client_exit_status(client_result result);
