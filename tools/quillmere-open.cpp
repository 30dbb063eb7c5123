// quillmere-open: asks the service to open URLs on this desktop and returns
// once every one of them has been handed to the opener.
#include <getopt.h>
#include <sysexits.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/client.h"

namespace {

constexpr double DEFAULT_TIMEOUT_SECONDS = 5;
constexpr double MAX_TIMEOUT_SECONDS = 1e6;

constexpr char USAGE[] =
	"Usage: quillmere-open [--timeout SECONDS] URL...\n"
	"       quillmere-open [--timeout SECONDS] --ping\n";

constexpr char HELP[] =
	"Asks the Quillmere service to open each URL on this desktop, in order,\n"
	"and returns once every URL has been handed to the opener.\n"
	"\n"
	"  -t, --timeout SECONDS  give up after this long (default 5; 0 waits forever)\n"
	"  -p, --ping             only agree version and options with the service\n"
	"  -h, --help             print this help and exit\n"
	"  -V, --version          print the version and exit\n"
	"\n"
	"Exit status: 0 done, 64 usage, 65 URL too long, 69 service not running,\n"
	"71 system error, 75 time-out, 76 protocol error, 77 service not root.\n";

int usage_error(const char *problem)
{
	if (problem)
		fprintf(stderr, "quillmere-open: %s\n", problem);
	fprintf(stderr, "%sTry 'quillmere-open --help' for more information.\n", USAGE);
	return EX_USAGE;
}

// Seconds as a decimal number, 0 to MAX_TIMEOUT_SECONDS; -1 when invalid.
int64_t parse_timeout(const char *text)
{
	char *end;
	errno = 0;
	double seconds = strtod(text, &end);
	if (errno != 0 || end == text || *end != '\0' || !std::isfinite(seconds) ||
	    seconds < 0 || seconds > MAX_TIMEOUT_SECONDS)
		return -1;
	int64_t ms = int64_t(std::ceil(seconds * 1000));
	return ms;
}

client_result run(client_conn *conn, int64_t timeout_ms, bool ping, char **urls, int count)
{
	client_result r = client_connect(conn, timeout_ms);
	if (r == CLIENT_OK)
		r = client_handshake(conn, OFFERED_OPTIONS);
	for (int i = 0; r == CLIENT_OK && i < count; i++)
		r = client_open_url(conn, urls[i]);
	if (r == CLIENT_OK)
		r = client_finish(conn);
	if (r == CLIENT_OK && ping)
		printf("version 0x%08x, options 0x%08x\n", conn->version, conn->options);
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
		{nullptr, 0, nullptr, 0},
	};
	int64_t timeout_ms = int64_t(DEFAULT_TIMEOUT_SECONDS * 1000);
	bool ping = false;
	int c;
	while ((c = getopt_long(argc, argv, "t:phV", long_options, nullptr)) != -1) {
		switch (c) {
		case 't':
			timeout_ms = parse_timeout(optarg);
			if (timeout_ms < 0)
				return usage_error("the time-out is not a number of seconds");
			break;
		case 'p':
			ping = true;
			break;
		case 'h':
			printf("%s%s", USAGE, HELP);
			return EX_OK;
		case 'V':
			printf("quillmere-open %s (protocol version 0x%08x)\n", QUILLMERE_VERSION,
			       PROTOCOL_VERSION);
			return EX_OK;
		default:
			return usage_error(nullptr);
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
		if (!client_url_fits(urls[i])) {
			fprintf(stderr, "quillmere-open: %s: argument %d is longer than %llu bytes\n",
				client_message(CLIENT_BAD_URL), optind + i,
				(unsigned long long)CLIENT_MAX_URL_LENGTH);
			return client_exit_status(CLIENT_BAD_URL);
		}
	}

	client_conn conn;
	client_result r = run(&conn, timeout_ms, ping, urls, count);
	client_close(&conn);
	if (r != CLIENT_OK) {
		if (conn.detail[0] != '\0')
			fprintf(stderr, "quillmere-open: %s: %s\n", client_message(r), conn.detail);
		else
			fprintf(stderr, "quillmere-open: %s\n", client_message(r));
	}
	return client_exit_status(r);
}
