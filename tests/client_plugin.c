/* A plug-in as its authors would write one, built against the installed
 * library with pkg-config by client_test.py.
 *
 *   client_plugin open URL...	connect, open each URL, finish
 *   client_plugin connect	connect only, and report the listener
 *   client_plugin alarm		connect for at most 500 ms with SIGALRM every 100 ms
 *
 * Prints one line per failure and exits 1 on the first one. */
#define _XOPEN_SOURCE 700
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include <quillmere/client.h>

static int failed(quillmere_client *client, const char *call, int r)
{
	printf("%s: %d %s: %s\n", call, r, quillmere_strerror(r), quillmere_last_error(client));
	quillmere_free(client);
	return 1;
}

static int open_urls(int count, char **urls)
{
	quillmere_client *client;
	char *too_long;
	int i, r;

	r = quillmere_connect(&client, 60000);
	if (r < 0)
		return failed(client, "connect", r);
	if (quillmere_fd(client) < 0 || quillmere_version(client) != 0x00010001)
		return failed(client, "after connect", 0);

	/* Refused before anything is sent, and the connection goes on. */
	too_long = malloc(QUILLMERE_URL_MAX + 2);
	if (!too_long)
		return failed(client, "malloc", 0);
	memset(too_long, 'x', QUILLMERE_URL_MAX + 1);
	too_long[QUILLMERE_URL_MAX + 1] = '\0';
	r = quillmere_open_url(client, too_long);
	free(too_long);
	if (r != QUILLMERE_ETOOLONG)
		return failed(client, "open too long", r);

	for (i = 0; i < count; i++) {
		r = quillmere_open_url(client, urls[i]);
		if (r < 0)
			return failed(client, "open", r);
	}
	r = quillmere_finish(client);
	if (r < 0)
		return failed(client, "finish", r);
	/* The connection is over: nothing is left to poll. */
	if (quillmere_fd(client) != -1)
		return failed(client, "fd after finish", 0);
	r = quillmere_finish(client);
	if (r != QUILLMERE_EINVAL)
		return failed(client, "second finish", r);
	quillmere_free(client);
	printf("done\n");
	return 0;
}

static int connect_only(void)
{
	quillmere_client *client;
	uid_t uid = 0;
	pid_t pid = 0;
	int r = quillmere_connect(&client, 10000);

	if (quillmere_listener(client, &uid, &pid) < 0)
		return failed(client, "listener", r);
	printf("result %d, uid %u, pid %d: %s\n", r, (unsigned)uid, (int)pid,
	       quillmere_last_error(client));
	quillmere_free(client);
	return 0;
}

static volatile sig_atomic_t alarms;

static void count_alarm(int sig)
{
	(void)sig;
	alarms++;
}

/* A program with a timer of its own: each signal interrupts the connect. */
static int connect_under_alarms(void)
{
	struct sigaction action;
	struct itimerval every = {{0, 100000}, {0, 100000}};
	quillmere_client *client;
	int r;

	memset(&action, 0, sizeof(action));
	action.sa_handler = count_alarm;
	if (sigaction(SIGALRM, &action, NULL) < 0 || setitimer(ITIMER_REAL, &every, NULL) < 0)
		return failed(NULL, "timer", 0);
	r = quillmere_connect(&client, 500);
	printf("result %d, interrupted %s: %s\n", r, alarms > 0 ? "yes" : "no",
	       quillmere_last_error(client));
	quillmere_free(client);
	return 0;
}

int main(int argc, char **argv)
{
	if (argc >= 2 && strcmp(argv[1], "open") == 0)
		return open_urls(argc - 2, argv + 2);
	if (argc == 2 && strcmp(argv[1], "connect") == 0)
		return connect_only();
	if (argc == 2 && strcmp(argv[1], "alarm") == 0)
		return connect_under_alarms();
	fprintf(stderr, "usage: client_plugin open URL... | connect | alarm\n");
	return 2;
}
