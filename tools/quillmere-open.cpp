// quillmere-open: asks the service to open URLs on this desktop and returns
// once the service has handed every one of them to the opener.
#include <getopt.h>
#include <sysexits.h>

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/wire.h"
#include "quillmere/client.h"
#include "version.h"

namespace {

constexpr double DEFAULT_TIMEOUT_SECONDS = 5;
constexpr double MAX_TIMEOUT_SECONDS = 1e6;

// Printed with --help only: a usage error is a single line.
constexpr char USAGE[] =
	"Usage: quillmere-open [--timeout SECONDS] [--verbose] URL...\n"
	"       quillmere-open [--timeout SECONDS] [--verbose] --ping\n";

constexpr char HELP[] =
	"Asks the Quillmere service to open each URL on this desktop, in order.\n"
	"Returns once the service has handed every URL to the opener and each\n"
	"opener has ended or been left running: the service waits at most 2 s\n"
	"for one opener, then leaves it running and goes on.\n"
	"\n"
	"  -t, --timeout SECONDS  bound the connection and the handshake (default 5;\n"
	"                         0 waits forever); the wait at the end gets 2 s\n"
	"                         more for each URL sent\n"
	"  -p, --ping             only agree version and options with the service\n"
	"      --verbose          print each step on standard error as it is done\n"
	"  -h, --help             print this help and exit\n"
	"  -V, --version          print the version and exit\n"
	"\n"
	"Exit status: 0 done, 64 usage, 65 URL too long, 69 service not running,\n"
	"71 system error, 75 time-out or connection refused, 76 protocol error,\n"
	"77 service not root.\n"
	"\n"
	"Examples:\n"
	"  quillmere-open https://example.org/\n"
	"  quillmere-open --ping\n"
	"  quillmere-open --timeout 20 --verbose https://a.example/ https://b.example/\n"
	"\n"
	"See quillmere-open(1) for the environment the opener gets and the causes\n"
	"of a refusal.\n";

constexpr char REFUSED_CAUSES[] =
	"likely a process that is not dumpable (set-id, changed uid or gid, or "
	"PR_SET_DUMPABLE 0), 32 connections of this user (its subordinate ids included) "
	"or 256 in all, an environment over 1048576 bytes or 65536 entries, or root "
	"in a sandbox or container; the service's log says which";

static_assert(QUILLMERE_OPENER_WAIT_MS == 2000, "the help text names the opener wait");

// A usage error is one line, so that a script's log shows it whole.
__attribute__((format(printf, 1, 2)))
int usage_error(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	fputs("quillmere-open: ", stderr);
	vfprintf(stderr, format, ap);
	fputs("; try 'quillmere-open --help'\n", stderr);
	va_end(ap);
	return EX_USAGE;
}

// The option getopt stopped at: a short one by its letter, a long one as given.
const char *bad_option(char **argv, char *letter)
{
	if (optopt == 0)
		return argv[optind - 1];
	letter[0] = '-';
	letter[1] = char(optopt);
	letter[2] = '\0';
	return letter;
}

// Seconds as a decimal number, 0 to MAX_TIMEOUT_SECONDS; -1 when invalid.
int parse_timeout(const char *text)
{
	char *end;
	errno = 0;
	double seconds = strtod(text, &end);
	if (errno != 0 || end == text || *end != '\0' || !std::isfinite(seconds) ||
	    seconds < 0 || seconds > MAX_TIMEOUT_SECONDS)
		return -1;
	return int(std::ceil(seconds * 1000));
}

// The sysexits status for a library result.
int exit_status(int r)
{
	switch (r) {
	case 0:
		return EX_OK;
	case QUILLMERE_ENOTRUNNING:
		return EX_UNAVAILABLE;
	case QUILLMERE_ENOTROOT:
		return EX_NOPERM;
	case QUILLMERE_EPROTO:
		return EX_PROTOCOL;
	// Both pass: the usual cause of a refusal is a burst of connections.
	case QUILLMERE_ETIMEDOUT:
	case QUILLMERE_EREFUSED:
		return EX_TEMPFAIL;
	case QUILLMERE_ETOOLONG:
		return EX_DATAERR;
	case QUILLMERE_ESYSTEM:
		return EX_OSERR;
	}
	return EX_SOFTWARE;
}

bool verbose = false;

__attribute__((format(printf, 1, 2)))
void step(const char *format, ...)
{
	if (!verbose)
		return;
	va_list ap;
	va_start(ap, format);
	fputs("quillmere-open: ", stderr);
	vfprintf(stderr, format, ap);
	fputc('\n', stderr);
	va_end(ap);
}

// A URL on one line of a step, whatever bytes it holds.
void step_url(int index, int count, const char *url)
{
	if (!verbose)
		return;
	fprintf(stderr, "quillmere-open: sent URL %d of %d: ", index, count);
	for (const unsigned char *p = reinterpret_cast<const unsigned char *>(url); *p; p++) {
		if (*p < 0x20 || *p == 0x7f)
			fprintf(stderr, "\\x%02x", *p);
		else
			fputc(*p, stderr);
	}
	fputc('\n', stderr);
}

int run(quillmere_client **client, int timeout_ms, bool ping, char **urls, int count)
{
	// The library connects and agrees in one call: the listener tells which
	// part of it was done.
	int r = quillmere_connect(client, timeout_ms);
	uid_t uid;
	pid_t pid;
	if (quillmere_listener(*client, &uid, &pid) == 0)
		step("connected to the service: process %d, uid %u", int(pid), unsigned(uid));
	if (r == 0)
		step("handshake done: version 0x%08x, options 0x%08x",
		     unsigned(quillmere_version(*client)), unsigned(quillmere_options(*client)));
	for (int i = 0; r == 0 && i < count; i++) {
		r = quillmere_open_url(*client, urls[i]);
		if (r == 0)
			step_url(i + 1, count, urls[i]);
	}
	if (r == 0)
		r = quillmere_finish(*client);
	if (r == 0)
		step("finished: the service closed the connection");
	if (r == 0 && ping)
		printf("version 0x%08x, options 0x%08x\n", unsigned(quillmere_version(*client)),
		       unsigned(quillmere_options(*client)));
	return r;
}

} // namespace

int main(int argc, char **argv)
{
	static const option long_options[] = {
		{"timeout", required_argument, nullptr, 't'},
		{"ping", no_argument, nullptr, 'p'},
		{"help", no_argument, nullptr, 'h'},
		{"version", no_argument, nullptr, 'V'},
		{"verbose", no_argument, nullptr, 'v'},
		{nullptr, 0, nullptr, 0},
	};
	int timeout_ms = int(DEFAULT_TIMEOUT_SECONDS * 1000);
	bool ping = false;
	int c;
	char letter[3];
	// The usage errors below say who complains; getopt's own would name argv[0].
	opterr = 0;
	while ((c = getopt_long(argc, argv, ":t:phV", long_options, nullptr)) != -1) {
		switch (c) {
		case 't':
			timeout_ms = parse_timeout(optarg);
			if (timeout_ms < 0)
				return usage_error("the time-out is not a number of seconds");
			break;
		case 'p':
			ping = true;
			break;
		case 'v':
			verbose = true;
			break;
		case 'h':
			printf("%s%s", USAGE, HELP);
			return EX_OK;
		case 'V':
			printf("quillmere-open %s (protocol version 0x%08x)\n", QUILLMERE_VERSION,
			       PROTOCOL_VERSION);
			return EX_OK;
		case ':':
			return usage_error("option %s needs an argument", argv[optind - 1]);
		default:
			return usage_error("unknown option %s", bad_option(argv, letter));
		}
	}
	char **urls = argv + optind;
	int count = argc - optind;
	if (ping && count > 0)
		return usage_error("--ping takes no URL");
	if (!ping && count == 0)
		return usage_error("no URL given");
	// Refused before anything is sent, so that no URL of the list is opened.
	for (int i = 0; i < count; i++) {
		if (strlen(urls[i]) > QUILLMERE_URL_MAX) {
			fprintf(stderr, "quillmere-open: the URL cannot be sent: argument %d is longer than %d bytes\n",
				optind + i, QUILLMERE_URL_MAX);
			return exit_status(QUILLMERE_ETOOLONG);
		}
	}

	quillmere_client *client = nullptr;
	int r = run(&client, timeout_ms, ping, urls, count);
	if (r == QUILLMERE_EREFUSED)
		fprintf(stderr, "quillmere-open: %s: %s\n", quillmere_strerror(r), REFUSED_CAUSES);
	else if (r != 0 && quillmere_last_error(client)[0] != '\0')
		fprintf(stderr, "quillmere-open: %s: %s\n", quillmere_strerror(r),
			quillmere_last_error(client));
	else if (r != 0)
		fprintf(stderr, "quillmere-open: %s\n", quillmere_strerror(r));
	quillmere_free(client);
	return exit_status(r);
}
