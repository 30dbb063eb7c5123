// The service's entry point, and the place where each of its processes ends.
#include <event2/event.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <utility>

#include "logger/logger.h"
#include "protocol/net.h"
#include "protocol/policy.h"
#include "protocol/process.h"
#include "service/service.h"
#include "version.h"

namespace {

constexpr char TITLE[] = "Quillmere";
constexpr char LOG_PATTERN[] = "%v: %D: %P: %F: %m%n";

constexpr char USAGE[] =
	"Usage: %s [OPTIONS]\n"
	"\t-D           Run non-daemon mode (daemon is default).\n"
	"\t-v LEVEL     Set debug message output level.\n"
	"\t             Levels: debug, info, warning, error, none.\n"
	"\t-h           Print this help message.\n"
	"Please, see README for details.\n\n";

constexpr std::string_view SHUTDOWN_NOTICE =
	"\nCaught an interrupt signal\nWait for graceful shutdown\n";
constexpr std::string_view REFUSAL = "Cannot start - only one program instance is allowed!\n";
constexpr std::string_view FORKING = "Forking to background...\n";
static_assert(SHUTDOWN_NOTICE.size() == 55 && REFUSAL.size() == 53 && FORKING.size() == 25);

struct level_name {
	std::string_view name;
	int level;
};

constexpr level_name LEVEL_NAMES[] = {
	{"debug", LEVEL_DEBUG},
	{"info", LEVEL_INFO},
	{"warning", LEVEL_WARNING},
	{"error", LEVEL_ERROR},
	{"none", LEVEL_NONE},
};

logger service_logger;
event *interrupt_event = nullptr;
event *terminate_event = nullptr;

int level_by_name(std::string_view name)
{
	for (const level_name &entry : LEVEL_NAMES)
		if (entry.name == name)
			return entry.level;
	return -1;
}

void write_text(std::string_view text, FILE *stream)
{
	fwrite(text.data(), 1, text.size(), stream);
}

// Started with 0, 1 or 2 closed, the listening socket would take its place,
// and daemon() would then overwrite it with the null device.
bool open_standard_descriptors()
{
	for (int fd = 0; fd <= 2; fd++) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		int opened = open("/dev/null", O_RDWR);
		if (opened != fd) {
			if (opened != -1)
				close(opened);
			return false;
		}
	}
	return true;
}

void sigint_cb(evutil_socket_t, short, void *)
{
	// A connection's process belongs to its user, who may signal it: it ends
	// its connection without announcing a shutdown of the service.
	if (!child_flag)
		write_text(SHUTDOWN_NOTICE, stderr);
	event_base_loopbreak(ev_base);
}

} // namespace

event_base *ev_base = nullptr;
logger *plgr = &service_logger;

int main(int argc, char *argv[])
{
	if (!open_standard_descriptors())
		return 1;

	bool daemon_mode = true;
	int level = -1;
	int opt;
	while ((opt = getopt(argc, argv, "Dv:h")) != -1) {
		switch (opt) {
		case 'D':
			daemon_mode = false;
			break;
		case 'v':
			level = level_by_name(optarg);
			if (level < 0) {
				fprintf(stderr, USAGE, argv[0]);
				return 1;
			}
			break;
		case 'h':
			fprintf(stdout, USAGE, argv[0]);
			return 0;
		default:
			fprintf(stderr, USAGE, argv[0]);
			return 1;
		}
	}
	if (optind < argc) {
		fprintf(stderr, "Unknown argument: %s\n\n", argv[optind]);
		return 1;
	}

	printf("\n%s version: %s\n", TITLE, QUILLMERE_VERSION);
	printf("Build time: %s %s\n\n", __DATE__, __TIME__);
	// Unflushed, the banner would vanish with daemon() or repeat in every child.
	fflush(stdout);

	int r = logger_init(plgr);
	if (r != 0) {
		fprintf(stderr, "unable to initialize logger: %i\n", r);
		return 1;
	}
	r = logger_set_format(plgr, LOG_PATTERN);
	if (r != 0) {
		fprintf(stderr, "unable to set logger format: %i\n", r);
		return 1;
	}
	logger_set_level(plgr, level < 0 ? LEVEL_ERROR : level);
	logger_set_writer(plgr, stderr_writer, nullptr);
	// Decided now, once for every process of the service: a connection child
	// that decided after taking its caller's environment would judge by the
	// caller's JOURNAL_STREAM and TZ. The time zone read here is never read
	// again, as no code of the service calls tzset, mktime or localtime.
	detect_stderr_journal();
	tzset();

	// Each connection child re-initialises this base: without the environment
	// it no longer scans it for libevent's tuning variables, which are no way
	// to steer a root service anyway.
	std::unique_ptr<event_config, decltype(&event_config_free)> config(event_config_new(),
									    event_config_free);
	if (config && event_config_set_flag(config.get(), EVENT_BASE_FLAG_IGNORE_ENV) == 0)
		ev_base = event_base_new_with_config(config.get());
	if (!ev_base) {
		SERVICE_LOG(LEVEL_ERROR, "no free memory");
		return 1;
	}

	signal(SIGPIPE, SIG_IGN);
	signal(SIGHUP, SIG_IGN);

	interrupt_event = event_new(ev_base, SIGINT, EV_SIGNAL | EV_PERSIST, sigint_cb, nullptr);
	terminate_event = event_new(ev_base, SIGTERM, EV_SIGNAL | EV_PERSIST, sigint_cb, nullptr);
	child_exit_event = event_new(ev_base, SIGCHLD, EV_SIGNAL | EV_PERSIST, sigchld_cb, nullptr);
	reload_event = event_new(ev_base, SIGHUP, EV_SIGNAL | EV_PERSIST, sighup_cb, nullptr);
	for (event *ev : {interrupt_event, terminate_event, child_exit_event, reload_event}) {
		if (!ev || event_add(ev, nullptr) != 0) {
			SERVICE_LOG(LEVEL_ERROR, "unable to handle a signal");
			return 1;
		}
	}

	// Read once the reload is armed, so that no edit after this read goes unseen.
	url_policy policy;
	policy_error refusal;
	r = load_policy(POLICY_FILE, &policy, &refusal);
	if (r != 0 && r != -ENOENT) {
		SERVICE_LOG(LEVEL_ERROR, "bad policy: %s", refusal.text);
		fprintf(stderr, "bad policy: %s\n", refusal.text);
		return 1;
	}
	set_policy(std::move(policy));
	// Which file is in force, if any: a build tree reads another than a package.
	if (r == -ENOENT) {
		SERVICE_LOG(LEVEL_INFO, "no policy file %s: every URL opens", POLICY_FILE);
	} else {
		char allowed[128];
		describe_policy(current_policy(), allowed, sizeof allowed);
		SERVICE_LOG(LEVEL_INFO, "policy %s: %s", POLICY_FILE, allowed);
	}

	// Refused in the foreground, so the message and the status reach the caller.
	if (create_server_socket() != 0) {
		write_text(REFUSAL, stderr);
		return 1;
	}

	if (daemon_mode) {
		write_text(FORKING, stderr);
		if (daemon(0, 0) != 0) {
			fprintf(stderr, "Unable to daemonize: %i\n", errno);
			return 1;
		}
		// Standard error is now the null device, whatever it was before.
		detect_stderr_journal();
	}

	// Neither changes from here on; a failure only leaves the look-up to each child.
	note_own_root();
	note_service_manager();
	event_base_loop(ev_base, 0);

	if (child_flag) {
		net_client_free();
		// Its records are written whole as they come and it never uses stdio:
		// exit handlers would have nothing to flush, only pages to fault in.
		_exit(0);
	}
	close_server_socket();
	return 0;
}
