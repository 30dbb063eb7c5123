// Places each connection child that opens a URL in a scope unit of its
// user's slice, so that what it starts is the user's, not the service's:
// the child asks over a channel made before the fork, and the service asks
// the service manager on its private socket from the event loop.
#include <dlfcn.h>
#include <event2/event.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "protocol/net.h"
#include "service/service.h"

namespace {

// libsystemd is loaded only once a child asks to be placed: linked in, it
// and the libraries it needs would make every connection child's fork and
// exit dearer by tens of microseconds, where nothing is ever placed too.
#define SD_BUS_FUNCTIONS(X) \
	X(sd_bus_call_async) \
	X(sd_bus_close_unref) \
	X(sd_bus_get_events) \
	X(sd_bus_get_fd) \
	X(sd_bus_get_timeout) \
	X(sd_bus_match_signal) \
	X(sd_bus_message_append) \
	X(sd_bus_message_get_error) \
	X(sd_bus_message_new_method_call) \
	X(sd_bus_message_read) \
	X(sd_bus_message_unref) \
	X(sd_bus_new) \
	X(sd_bus_process) \
	X(sd_bus_set_address) \
	X(sd_bus_slot_unref) \
	X(sd_bus_start)

struct {
#define SD_BUS_POINTER(name) decltype(&::name) name;
	SD_BUS_FUNCTIONS(SD_BUS_POINTER)
} sd;
bool sd_loaded = false;


constexpr char MANAGER_ADDRESS[] = "unix:path=/run/systemd/private";
constexpr char MANAGER_NAME[] = "org.freedesktop.systemd1";
constexpr char MANAGER_PATH[] = "/org/freedesktop/systemd1";
constexpr char MANAGER_INTERFACE[] = "org.freedesktop.systemd1.Manager";

// What the service answers a child: its pid is in the scope now, or it is
// not and the service has said why.
constexpr char PLACED = 'y';
constexpr char NOT_PLACED = 'n';
constexpr int CHILD_WAIT_MS = 1000;

// The manager sends every unit's changes to each of its private connections:
// an idle service lets go of its own rather than be sent all of them.
constexpr timeval BUS_IDLE = {10, 0};

enum placement_state { ASKABLE, CALLING, RUNNING_JOB };

// One per connection child while its channel is open or its placement is
// pending. While CALLING or RUNNING_JOB the child is not reaped: its pid is
// what the manager moves, and must not be another process's by then.
struct placement {
	pid_t pid; // 0: free
	uid_t uid;
	int fd;
	event *request;
	placement_state state;
	sd_bus_slot *call;
	uint64_t asked;
	char unit[64];
};
// Made only where systemd runs: elsewhere, 50 KiB of tables would only push
// apart the variables a connection child writes, onto more pages of its own.
std::span<placement> placements;
size_t pending = 0;

bool manager_runs = false;
sd_bus *bus = nullptr;
// Kept apart: after a fork, sd-bus no longer tells the child which it is.
int bus_fd = -1;
event *bus_event = nullptr;
event *idle_event = nullptr;
uint64_t last_stamp = 0;

std::span<placement_rate> rates;

// A placement refused for its rate is logged in full at most once a second;
// the rest are counted and summed up.
event *refusal_event = nullptr;
unsigned long refusals_unlogged = 0;

// Set in a connection child: its own end of its channel.
int own_channel = -1;
int own_channel_error = 0;

uint64_t clock_us(clockid_t id)
{
	timespec now {};
	clock_gettime(id, &now);
	return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

#define PLACE_LOG(level, pid, reason_format, ...)                                                  \
	LOGGER_LOG(plgr, (level), "main", "place_in_scope", "unable to place pid %i in a scope: " reason_format, \
		   static_cast<int>(pid), __VA_ARGS__)

void rate_refusal_cb(evutil_socket_t, short, void *)
{
	if (refusals_unlogged > 0)
		LOGGER_LOG(plgr, LEVEL_WARNING, "main", "place_in_scope",
			   "unable to place %lu more pids in a scope: more than %u a second",
			   refusals_unlogged, PLACEMENTS_PER_SECOND);
	refusals_unlogged = 0;
}

void log_rate_refusal(pid_t pid, uid_t uid)
{
	if (refusal_event && evtimer_pending(refusal_event, nullptr)) {
		refusals_unlogged++;
		return;
	}
	if (refusal_event) {
		timeval second = {1, 0};
		evtimer_add(refusal_event, &second);
	}
	PLACE_LOG(LEVEL_WARNING, pid, "more than %u a second for uid %u", PLACEMENTS_PER_SECOND,
		  static_cast<unsigned>(uid));
}

// The placement of a child, or with 0 a free one.
placement *placement_of(pid_t pid)
{
	for (placement &p : placements)
		if (p.pid == pid)
			return &p;
	return nullptr;
}

void close_channel(placement *p)
{
	if (p->request) {
		event_free(p->request);
		p->request = nullptr;
	}
	if (p->fd >= 0) {
		close(p->fd);
		p->fd = -1;
	}
}

void free_placement(placement *p)
{
	close_channel(p);
	if (p->call)
		sd.sd_bus_slot_unref(p->call);
	if (p->state != ASKABLE)
		pending--;
	*p = {0, 0, -1, nullptr, ASKABLE, nullptr, 0, {}};
	if (pending == 0 && bus && idle_event)
		evtimer_add(idle_event, &BUS_IDLE);
}

// The child hears the outcome; its pid may be reaped from now on.
void settle(placement *p, bool placed)
{
	if (p->fd >= 0) {
		char answer = placed ? PLACED : NOT_PLACED;
		// The child may have stopped waiting, or ended: nothing to do then.
		(void)!send(p->fd, &answer, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
	}
	pid_t pid = p->pid;
	bool held = p->state != ASKABLE;
	free_placement(p);
	if (held)
		reap_placed(pid);
}

void drop_bus();

// libevent watches what sd-bus asks for; the manager never blocks the loop.
void bus_cb(evutil_socket_t, short, void *);

void arm_bus()
{
	if (!bus || !bus_event)
		return;
	int events = sd.sd_bus_get_events(bus);
	uint64_t until = UINT64_MAX;
	if (events < 0 || sd.sd_bus_get_timeout(bus, &until) < 0) {
		drop_bus();
		return;
	}
	short what = EV_READ | ((events & POLLOUT) ? EV_WRITE : 0);
	event_del(bus_event);
	event_assign(bus_event, ev_base, bus_fd, what, bus_cb, nullptr);
	if (until == UINT64_MAX) {
		event_add(bus_event, nullptr);
		return;
	}
	uint64_t now = clock_us(CLOCK_MONOTONIC);
	uint64_t left = until > now ? until - now : 0;
	timeval after = {static_cast<time_t>(left / 1000000u), static_cast<suseconds_t>(left % 1000000u)};
	event_add(bus_event, &after);
}

void bus_cb(evutil_socket_t, short, void *)
{
	for (;;) {
		int r = sd.sd_bus_process(bus, nullptr);
		if (r < 0) {
			if (r != -ENOTCONN && r != -ECONNRESET)
				LOGGER_LOG_ERRNO(SERVICE_LOG, LEVEL_ERROR, "unable to process", -r);
			drop_bus();
			return;
		}
		if (r == 0 || !bus)
			break;
	}
	arm_bus();
}

void idle_cb(evutil_socket_t, short, void *)
{
	if (pending == 0)
		drop_bus();
}

// Whatever the manager has not answered by now, it will not answer here.
void drop_bus()
{
	if (bus_event) {
		event_free(bus_event);
		bus_event = nullptr;
	}
	if (idle_event)
		evtimer_del(idle_event);
	sd_bus *gone = bus;
	bus = nullptr;
	bus_fd = -1;
	for (placement &p : placements) {
		if (p.pid == 0 || p.state == ASKABLE)
			continue;
		PLACE_LOG(LEVEL_WARNING, p.pid, "%s", "the connection to the service manager ended");
		settle(&p, false);
	}
	sd.sd_bus_close_unref(gone);
}

int job_removed_cb(sd_bus_message *m, void *, sd_bus_error *)
{
	uint32_t id;
	const char *job, *unit, *result;
	if (sd.sd_bus_message_read(m, "uoss", &id, &job, &unit, &result) < 0)
		return 0;
	for (placement &p : placements) {
		if (p.pid == 0 || p.state == ASKABLE || strcmp(p.unit, unit) != 0)
			continue;
		bool done = strcmp(result, "done") == 0;
		if (!done)
			PLACE_LOG(LEVEL_WARNING, p.pid, "the job ended as %s", result);
		else
			SERVICE_LOG(LEVEL_DEBUG, "placed pid %i in %s after %" PRIu64 " us", static_cast<int>(p.pid),
				    p.unit, clock_us(CLOCK_BOOTTIME) - p.asked);
		settle(&p, done);
		break;
	}
	return 0;
}

// 0, or -1 after logging why the placement of pid cannot be asked for.
int load_libsystemd(pid_t pid)
{
	if (sd_loaded)
		return 0;
	void *lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
	bool found = lib != nullptr;
#define SD_BUS_LOOKUP(name) \
	found = found && (sd.name = reinterpret_cast<decltype(sd.name)>(dlsym(lib, #name)));
	SD_BUS_FUNCTIONS(SD_BUS_LOOKUP)
	if (!found) {
		const char *why = dlerror();
		PLACE_LOG(LEVEL_WARNING, pid, "%s", why ? why : "no libsystemd.so.0");
		if (lib)
			dlclose(lib);
		return -1;
	}
	sd_loaded = true;
	return 0;
}

int connect_bus()
{
	if (bus)
		return 0;
	sd_bus *made = nullptr;
	int r = sd.sd_bus_new(&made);
	if (r >= 0)
		r = sd.sd_bus_set_address(made, MANAGER_ADDRESS);
	// Each of the manager's private connections is sent every signal: no
	// match to add there, only one to keep here.
	if (r >= 0)
		r = sd.sd_bus_start(made);
	if (r >= 0)
		r = sd.sd_bus_match_signal(made, nullptr, nullptr, MANAGER_PATH, MANAGER_INTERFACE,
					"JobRemoved", job_removed_cb, nullptr);
	if (r >= 0 && !(bus_event = event_new(ev_base, -1, 0, bus_cb, nullptr)))
		r = -ENOMEM;
	if (r >= 0 && !idle_event && !(idle_event = evtimer_new(ev_base, idle_cb, nullptr)))
		r = -ENOMEM;
	if (r < 0) {
		if (bus_event) {
			event_free(bus_event);
			bus_event = nullptr;
		}
		sd.sd_bus_close_unref(made);
		return r;
	}
	bus = made;
	bus_fd = sd.sd_bus_get_fd(made);
	arm_bus();
	return 0;
}

int started_cb(sd_bus_message *reply, void *arg, sd_bus_error *)
{
	auto *p = static_cast<placement *>(arg);
	p->call = sd.sd_bus_slot_unref(p->call);
	if (const sd_bus_error *e = sd.sd_bus_message_get_error(reply)) {
		PLACE_LOG(LEVEL_WARNING, p->pid, "%s", e->message ? e->message : e->name);
		settle(p, false);
		return 0;
	}
	// The manager moves the pid when the job runs, which JobRemoved reports.
	p->state = RUNNING_JOB;
	return 0;
}

int start_scope(placement *p)
{
	if (int r = connect_bus(); r < 0)
		return r;
	p->asked = last_stamp;
	scope_unit_name(p->unit, sizeof p->unit, p->pid, last_stamp);
	char slice[48], description[48];
	snprintf(slice, sizeof slice, "user-%u.slice", static_cast<unsigned>(p->uid));
	snprintf(description, sizeof description, "URLs opened for uid %u", static_cast<unsigned>(p->uid));

	sd_bus_message *m = nullptr;
	int r = sd.sd_bus_message_new_method_call(bus, &m, MANAGER_NAME, MANAGER_PATH, MANAGER_INTERFACE,
					       "StartTransientUnit");
	if (r >= 0)
		r = sd.sd_bus_message_append(m, "ss", p->unit, "fail");
	if (r >= 0)
		r = sd.sd_bus_message_append(m, "a(sv)", 4, "PIDs", "au", 1, static_cast<uint32_t>(p->pid),
					  "Slice", "s", slice, "Description", "s", description,
					  "CollectMode", "s", "inactive-or-failed");
	if (r >= 0)
		r = sd.sd_bus_message_append(m, "a(sa(sv))", 0);
	if (r >= 0)
		r = sd.sd_bus_call_async(bus, &p->call, m, started_cb, p, 0);
	sd.sd_bus_message_unref(m);
	if (r < 0)
		return r;
	p->state = CALLING;
	pending++;
	evtimer_del(idle_event);
	arm_bus();
	return 0;
}

// The child's request. Only the pid the service forked is ever placed, and
// only once: what the child sends says nothing but "now".
void request_cb(evutil_socket_t fd, short, void *arg)
{
	auto *p = static_cast<placement *>(arg);
	char byte;
	ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
	if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
		event_add(p->request, nullptr);
		return;
	}
	if (got <= 0) {
		// The child ended without asking.
		free_placement(p);
		return;
	}
	// The name tells when the placement was asked for, on the clock it is bounded by.
	last_stamp = scope_stamp(clock_us(CLOCK_BOOTTIME), last_stamp);
	if (!placement_allowed(rates, p->uid, last_stamp)) {
		log_rate_refusal(p->pid, p->uid);
		settle(p, false);
		return;
	}
	if (load_libsystemd(p->pid) != 0) {
		settle(p, false);
		return;
	}
	if (int r = start_scope(p); r < 0) {
		PLACE_LOG(LEVEL_WARNING, p->pid, "%s", strerror(-r));
		settle(p, false);
	}
}

} // namespace

uint64_t scope_stamp(uint64_t now, uint64_t last)
{
	return now > last ? now : last + 1;
}

void scope_unit_name(char *name, size_t size, pid_t pid, uint64_t stamp)
{
	snprintf(name, size, "quillmere-%i-%" PRIu64 ".scope", static_cast<int>(pid), stamp);
}

bool placement_allowed(std::span<placement_rate> table, uid_t uid, uint64_t now)
{
	placement_rate *entry = nullptr;
	for (placement_rate &r : table) {
		if (r.used > 0 && r.uid == uid) {
			entry = &r;
			break;
		}
		// An entry whose last placement is a second old limits nobody.
		uint64_t newest = r.times[(r.next + PLACEMENTS_PER_SECOND - 1) % PLACEMENTS_PER_SECOND];
		if (!entry && (r.used == 0 || now - newest >= 1000000u))
			entry = &r;
	}
	if (!entry)
		return false;
	if (entry->used == 0 || entry->uid != uid)
		*entry = {uid, {}, 0, 0};
	// The tenth placement before this one must be a second old.
	if (entry->used == PLACEMENTS_PER_SECOND && now - entry->times[entry->next] < 1000000u)
		return false;
	entry->times[entry->next] = now;
	entry->next = (entry->next + 1) % PLACEMENTS_PER_SECOND;
	if (entry->used < PLACEMENTS_PER_SECOND)
		entry->used++;
	return true;
}

void note_service_manager()
{
	struct stat st;
	manager_runs = stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
	if (manager_runs && placements.empty()) {
		auto *made = new (std::nothrow) placement[MAX_CONNECTIONS]();
		auto *limits = new (std::nothrow) placement_rate[MAX_CONNECTIONS]();
		if (!made || !limits) {
			delete[] made;
			delete[] limits;
			SERVICE_LOG(LEVEL_ERROR, "no free memory: openers run in the service's cgroup");
			manager_runs = false;
			return;
		}
		placements = {made, MAX_CONNECTIONS};
		rates = {limits, MAX_CONNECTIONS};
	}
	if (manager_runs && !refusal_event)
		refusal_event = evtimer_new(ev_base, rate_refusal_cb, nullptr);
}

int scope_channel(int fds[2])
{
	fds[0] = fds[1] = -1;
	if (!manager_runs)
		return 0;
	if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) {
		int err = errno;
		fds[0] = fds[1] = -1;
		return -err;
	}
	return 0;
}

void watch_scope_channel(pid_t pid, uid_t uid, int fd)
{
	placement *p = placement_of(0);
	if (p) {
		*p = {pid, uid, fd, nullptr, ASKABLE, nullptr, 0, {}};
		p->request = event_new(ev_base, fd, EV_READ, request_cb, p);
		if (p->request && event_add(p->request, nullptr) == 0)
			return;
		free_placement(p);
		return;
	}
	close(fd);
}

bool placement_pending(pid_t pid)
{
	if (pending == 0 || pid == 0)
		return false;
	placement *p = placement_of(pid);
	return p && p->state != ASKABLE;
}

size_t placements_pending()
{
	return pending;
}

void forget_scope_channel(pid_t pid)
{
	if (!manager_runs)
		return;
	if (placement *p = pid != 0 ? placement_of(pid) : nullptr; p && p->state == ASKABLE)
		free_placement(p);
}

void enter_scope_child(int fd, int error)
{
	// Nothing was made, and no page of this file's is to be written in a
	// child that would otherwise share it with the service.
	if (!manager_runs)
		return;
	// Root's connection to the manager must not reach the user's process; sd-bus
	// refuses to act after a fork anyway, so only its descriptor is closed.
	if (bus) {
		if (bus_event)
			event_free(bus_event);
		close(bus_fd);
		bus_fd = -1;
		bus = nullptr;
		bus_event = nullptr;
	}
	for (event **ev : {&idle_event, &refusal_event}) {
		if (*ev) {
			event_free(*ev);
			*ev = nullptr;
		}
	}
	// Nor other children's channels; free entries are left untouched, unwritten.
	for (placement &p : placements) {
		if (p.pid != 0) {
			close_channel(&p);
			p = {0, 0, -1, nullptr, ASKABLE, nullptr, 0, {}};
		}
	}
	pending = 0;
	own_channel = fd;
	own_channel_error = error;
	before_first_opener = place_in_scope;
}

void place_in_scope()
{
	int fd = own_channel;
	own_channel = -1;
	ask_for_placement(fd, own_channel_error);
}

void ask_for_placement(int fd, int error)
{
	pid_t self = getpid();
	const char *reason = nullptr;
	char answer = 0;
	if (fd < 0) {
		PLACE_LOG(LEVEL_WARNING, self, "%s", strerror(error));
		return;
	}
	if (send(fd, "p", 1, MSG_NOSIGNAL) != 1) {
		reason = strerror(errno);
	} else {
		uint64_t end = clock_us(CLOCK_MONOTONIC) + CHILD_WAIT_MS * 1000u;
		for (;;) {
			uint64_t now = clock_us(CLOCK_MONOTONIC);
			pollfd wait = {fd, POLLIN, 0};
			int r = now >= end ? 0 : poll(&wait, 1, static_cast<int>((end - now + 999) / 1000));
			if (r < 0 && errno == EINTR)
				continue;
			if (r == 0) {
				reason = "no answer within 1 s";
				break;
			}
			ssize_t got = recv(fd, &answer, 1, MSG_DONTWAIT);
			if (got < 0 && (errno == EINTR || errno == EAGAIN))
				continue;
			if (got != 1)
				reason = got == 0 ? "the service did not answer" : strerror(errno);
			break;
		}
	}
	close(fd);
	// A refusal the service saw it has logged itself.
	if (reason)
		PLACE_LOG(LEVEL_WARNING, self, "%s", reason);
}
