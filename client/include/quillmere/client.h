/*
 * libquillmere-client: ask the Quillmere service to open URLs on the desktop
 * of the user who calls.
 *
 *	quillmere_client *client;
 *	int r = quillmere_connect(&client, 5000);
 *	if (r == 0)
 *		r = quillmere_open_url(client, "https://example.org/");
 *	if (r == 0)
 *		r = quillmere_finish(client);
 *	if (r < 0)
 *		fprintf(stderr, "%s: %s\n", quillmere_strerror(r),
 *			quillmere_last_error(client));
 *	quillmere_free(client);
 *
 * The service opens each URL as the user of the process that connects, with
 * that process's desktop-session variables, in the order the URLs were sent.
 * The protocol has no replies: whether an opener could be started shows only
 * in the service's log.
 *
 * Environment: the service reads the caller's variables (DISPLAY,
 * WAYLAND_DISPLAY, XDG_*, DBUS_SESSION_BUS_ADDRESS, HOME and a few more;
 * quillmere-open(1) lists them) from /proc/PID/environ of the process that
 * calls quillmere_connect. That file holds the environment the process was
 * started with, so setenv() or putenv() before connecting changes nothing;
 * to pass other values, connect from a helper program started with them. A
 * caller in a sandbox or container gets only its display and a few checked
 * values, whatever its environment holds.
 *
 * Dumpable callers only: the service must be able to trust /proc/PID, and
 * refuses every process that is not dumpable (QUILLMERE_EREFUSED): one that
 * changed its uid or gid after it last ran exec, a set-id program, or one
 * that called prctl(PR_SET_DUMPABLE, 0). Its log then says "unable to verify peer:
 * -1: Operation not permitted".
 *
 * Threads: a handle belongs to one thread at a time. Use one handle per
 * thread, or serialise every call on a shared handle yourself. Different
 * handles need no locking. quillmere_strerror may be called from any thread.
 *
 * Results: every int function returns 0 on success or one of the negative
 * QUILLMERE_E* codes below; they are not errno values. QUILLMERE_ETOOLONG
 * and QUILLMERE_EINVAL leave the handle as it was. After any other failure
 * the handle only answers quillmere_last_error, quillmere_listener and
 * quillmere_fd, and must still be freed. The library never raises a signal:
 * a connection the service closed is a result, not SIGPIPE.
 *
 * Build with: pkg-config --cflags --libs quillmere-client
 */
#ifndef QUILLMERE_CLIENT_H
#define QUILLMERE_CLIENT_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct quillmere_client quillmere_client;

/* The version of this header and library, the project's major and minor
 * version, as pkg-config --modversion quillmere-client shows it: a later
 * minor version only adds. The file name libquillmere-client.so.1 changes
 * only when a program built against an earlier version would break. */
#define QUILLMERE_CLIENT_VERSION_MAJOR	1
#define QUILLMERE_CLIENT_VERSION_MINOR	1

/* Nobody listens on the service's socket: the service is not running. */
#define QUILLMERE_ENOTRUNNING	(-1)
/* The service closed the connection before its version word. It does that
 * to a caller that is not dumpable (see above); whose user already holds 32
 * connections, counting those of every process in a user namespace the user
 * owns; when 256 are open in all; to a caller whose environment is larger
 * than 1048576 bytes or 65536 entries; to root in a sandbox or container;
 * and when it cannot take on the caller's identity. Its log says which. */
#define QUILLMERE_EREFUSED	(-2)
/* The process that holds the service's socket does not run as root; nothing
 * was sent to it. quillmere_listener names it. */
#define QUILLMERE_ENOTROOT	(-3)
/* The service refused the handshake, sent an unexpected byte, or closed the
 * connection too early. */
#define QUILLMERE_EPROTO	(-4)
/* The call's time limit passed. URLs already sent may still be opened. */
#define QUILLMERE_ETIMEDOUT	(-5)
/* The URL is longer than QUILLMERE_URL_MAX bytes; nothing was sent. */
#define QUILLMERE_ETOOLONG	(-6)
/* A system call failed; errno holds its error when the call returns. */
#define QUILLMERE_ESYSTEM	(-7)
/* A null argument, or a call on a handle that failed or was finished. */
#define QUILLMERE_EINVAL	(-8)

/* The longest URL the service opens: the kernel's limit on one argument of
 * a program, less its terminator. */
#define QUILLMERE_URL_MAX	131071
/* How long the service waits for one opener before it leaves it running and
 * goes on with the next URL, in milliseconds. */
#define QUILLMERE_OPENER_WAIT_MS	2000

/*
 * Connects to the service, checks that the listener runs as root before
 * anything is sent, and agrees the protocol version and options.
 *
 * Blocks on the connect (while the service's backlog is full) and on the
 * service's handshake replies, for at most timeout_ms milliseconds in all;
 * 0 or less means no limit. Each later call on the handle gets timeout_ms of
 * its own.
 *
 * Sets *client to a new handle whatever the result, so that
 * quillmere_last_error can tell what went wrong; free it with quillmere_free
 * in every case. *client is NULL only when no memory was left
 * (QUILLMERE_ESYSTEM, errno ENOMEM).
 *
 * Returns 0, QUILLMERE_ENOTRUNNING, QUILLMERE_EREFUSED, QUILLMERE_ENOTROOT,
 * QUILLMERE_EPROTO, QUILLMERE_ETIMEDOUT, QUILLMERE_ESYSTEM or
 * QUILLMERE_EINVAL (client is NULL).
 */
int quillmere_connect(quillmere_client **client, int timeout_ms);

/*
 * Queues one open-URL command. url is sent as it is, without a check of its
 * scheme or characters; an empty URL is sent too, and the service then runs
 * the opener with one empty argument. The service sends no reply: 0 means
 * the command was written to the socket, not that the URL was opened.
 *
 * Blocks only while the socket's send buffer is full, that is while the
 * service is still busy with earlier URLs, for at most the handle's
 * timeout_ms.
 *
 * Returns 0, QUILLMERE_ETOOLONG (nothing sent; the handle stays usable),
 * QUILLMERE_EPROTO (the service closed the connection), QUILLMERE_ETIMEDOUT,
 * QUILLMERE_ESYSTEM or QUILLMERE_EINVAL.
 */
int quillmere_open_url(quillmere_client *client, const char *url);

/*
 * Shuts the sending side of the connection and waits until the service
 * closes it. The service does so once it has handed every URL to the opener
 * and each opener has ended or been left running: the service waits at most
 * QUILLMERE_OPENER_WAIT_MS for one opener, then leaves it running and goes on
 * with the next URL. One connection leaves at most four openers running;
 * with four still running, the next URL waits, without a bound, until one of
 * them ends. Only then can a URL wait for an earlier URL's program, and this
 * call may run out of time meanwhile (QUILLMERE_ETIMEDOUT), the URLs still
 * queued to be opened later.
 *
 * Blocks on the service's end of the connection, for at most the handle's
 * timeout_ms plus QUILLMERE_OPENER_WAIT_MS for each URL sent; a timeout_ms of
 * 0 means no limit. Call it once; later calls return QUILLMERE_EINVAL. On
 * success the connection is closed, and quillmere_fd returns -1.
 *
 * Returns 0, QUILLMERE_EPROTO (a byte from the service, or a reset),
 * QUILLMERE_ETIMEDOUT, QUILLMERE_ESYSTEM or QUILLMERE_EINVAL.
 */
int quillmere_finish(quillmere_client *client);

/* Closes the connection, without waiting, and frees the handle. NULL is
 * allowed. Never blocks. */
void quillmere_free(quillmere_client *client);

/* A fixed one-line text for a result code, such as "the service is not
 * running". Never NULL, never blocks. */
const char *quillmere_strerror(int code);

/* What exactly went wrong in the handle's last failed call, for example
 * "@ftnl54531 is held by uid 1000, process 4242"; "" when nothing failed.
 * Valid until the next call on the handle. Never blocks. */
const char *quillmere_last_error(const quillmere_client *client);

/* The user and process ids of the listener, as the kernel recorded them when
 * the connection was made; the way to name a listener that is not root.
 * Returns 0, or QUILLMERE_EINVAL when no connection was made. Never blocks. */
int quillmere_listener(const quillmere_client *client, uid_t *uid, pid_t *pid);

/* The service's protocol version word, and the options agreed in the
 * handshake. Both are 0 before a handshake succeeded. Never block. */
uint32_t quillmere_version(const quillmere_client *client);
uint32_t quillmere_options(const quillmere_client *client);

/* The connection's socket, for a caller with an event loop of its own, or -1
 * when there is none: before quillmere_connect made one, and once
 * quillmere_finish has succeeded and closed it. The calls that talk to the
 * service block: poll the socket for POLLOUT to call quillmere_open_url when
 * it has room (a URL longer than the room still blocks), and for POLLHUP to
 * learn that the service ended the connection. After a failed call it stays
 * open until quillmere_free. It stays owned by the handle: do not
 * read, write, close or change it. Never blocks. */
int quillmere_fd(const quillmere_client *client);

#ifdef __cplusplus
}
#endif

#endif
