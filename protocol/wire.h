// The wire format spoken between the service and its peers. Shared by the
// service and the client; these numbers are never renumbered.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>

// All multi-byte fields are 32-bit little-endian words.
constexpr uint32_t PROTOCOL_VERSION = 0x00010001;
constexpr uint32_t OFFERED_OPTIONS = 0x00000002;

// The handshake's units: a 32-bit word, or a one-byte status.
constexpr size_t WORD_SIZE = 4;
constexpr size_t STATUS_SIZE = 1;

constexpr uint8_t STATUS_OK = 0x00;
constexpr uint8_t STATUS_NOT_OK = 0x01;

constexpr uint32_t CMD_OPEN_URL = 1;

// A command is an 8-byte header (cmd, length) and `length` body bytes. An
// open-URL body is 4 uninterpreted prefix bytes followed by the URL.
constexpr size_t CMD_HEADER_SIZE = 8;
constexpr size_t OPEN_URL_PREFIX_SIZE = 4;

// The longest URL the service opens: the kernel's limit on one argument
// (MAX_ARG_STRLEN, 32 pages) less its NUL. A longer one could never reach
// the opener, so the service skips its command.
constexpr size_t OPEN_URL_MAX_LENGTH = 32 * 4096 - 1;

// How long the service waits for one opener before it goes on with the
// next command and leaves that opener running.
constexpr int OPENER_WAIT_MS = 2000;

// The service listens in the abstract namespace: a zero byte, then the name,
// with no terminator. The address length covers exactly these bytes.
constexpr char SERVICE_SOCKET_NAME[] = "ftnl54531";
constexpr socklen_t SERVICE_ADDRESS_LENGTH =
	offsetof(sockaddr_un, sun_path) + 1 + sizeof(SERVICE_SOCKET_NAME) - 1;
static_assert(SERVICE_ADDRESS_LENGTH == 12);

// Words travel little-endian whatever the host's order, and units pulled out
// of a buffer carry no alignment: both sides go byte by byte.
inline uint32_t load_word(const unsigned char *p)
{
	return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
	       static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void store_word(unsigned char *p, uint32_t value)
{
	p[0] = static_cast<unsigned char>(value);
	p[1] = static_cast<unsigned char>(value >> 8);
	p[2] = static_cast<unsigned char>(value >> 16);
	p[3] = static_cast<unsigned char>(value >> 24);
}

// Fills in the service's address and returns its length.
inline socklen_t service_address(sockaddr_un *addr)
{
	*addr = {};
	addr->sun_family = AF_UNIX;
	for (size_t i = 0; i + 1 < sizeof(SERVICE_SOCKET_NAME); i++)
		addr->sun_path[1 + i] = SERVICE_SOCKET_NAME[i];
	return SERVICE_ADDRESS_LENGTH;
}
