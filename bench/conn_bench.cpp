// The path of one connection, measured from the peer's side, and the two
// servers it is compared with: a minimal fork-per-connection floor, and a
// handshake responder on standard input and output for a socket wrapper.
//
//   conn_bench client [--command] [--user UID] [--clients N] [--count N] [--seconds S]
//   conn_bench flood --user UID [--count N] [--seconds S]
//   conn_bench memory SERVER_PID [--user UID]
//   conn_bench wait SECONDS
//   conn_bench floor
//   conn_bench stdio
//   conn_bench socket-name
//
// With --user the client drops root for that user, with no supplementary
// groups, before its first connection: the peer a service sees is then a
// user, as a plug-in in a desktop session is.
#include "protocol/wire.h"

#include <grp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char BENCH_URL[] = "about:blank";

using bench_clock = std::chrono::steady_clock;

bool read_full(int fd, void *buf, size_t n)
{
	auto *p = static_cast<char *>(buf);
	while (n > 0) {
		ssize_t r = read(fd, p, n);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			return false;
		p += r;
		n -= static_cast<size_t>(r);
	}
	return true;
}

bool write_full(int fd, const void *buf, size_t n)
{
	const auto *p = static_cast<const char *>(buf);
	while (n > 0) {
		ssize_t r = write(fd, p, n);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			return false;
		p += r;
		n -= static_cast<size_t>(r);
	}
	return true;
}

int connect_service()
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	sockaddr_un addr;
	socklen_t len = service_address(&addr);
	if (connect(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
		close(fd);
		return -1;
	}
	return fd;
}

// The service speaks first: its version word is what a peer waits for.
bool read_version(int fd)
{
	uint32_t word;
	return read_full(fd, &word, 4) && word == PROTOCOL_VERSION;
}

// The peer's half of the handshake after the version word.
bool peer_handshake_rest(int fd)
{
	uint32_t word;
	uint8_t status;
	const uint32_t no_options = 0;
	return write_full(fd, &PROTOCOL_VERSION, 4) &&
	       read_full(fd, &status, 1) && status == STATUS_OK &&
	       write_full(fd, &STATUS_OK, 1) &&
	       read_full(fd, &word, 4) && word == OFFERED_OPTIONS &&
	       write_full(fd, &no_options, 4) &&
	       read_full(fd, &status, 1) && status == STATUS_OK &&
	       write_full(fd, &STATUS_OK, 1);
}

bool peer_handshake(int fd)
{
	return read_version(fd) && peer_handshake_rest(fd);
}

bool send_open_url(int fd)
{
	const size_t url_len = sizeof(BENCH_URL) - 1;
	char msg[CMD_HEADER_SIZE + OPEN_URL_PREFIX_SIZE + sizeof(BENCH_URL)] = {};
	const uint32_t cmd = CMD_OPEN_URL;
	const uint32_t length = static_cast<uint32_t>(OPEN_URL_PREFIX_SIZE + url_len);
	memcpy(msg, &cmd, 4);
	memcpy(msg + 4, &length, 4);
	memcpy(msg + CMD_HEADER_SIZE + OPEN_URL_PREFIX_SIZE, BENCH_URL, url_len);
	return write_full(fd, msg, CMD_HEADER_SIZE + length);
}

// One whole connection: connect, handshake, optional command, then an
// orderly close that waits for the server's side to close too. Sets the
// time from the start of connect to the version word.
bool one_connection(bool command, double *to_version_us)
{
	const auto start = bench_clock::now();
	int fd = connect_service();
	if (fd < 0)
		return false;
	bool ok = read_version(fd);
	*to_version_us = std::chrono::duration<double, std::micro>(bench_clock::now() - start).count();
	ok = ok && peer_handshake_rest(fd) && (!command || send_open_url(fd));
	if (ok) {
		char c;
		shutdown(fd, SHUT_WR);
		ok = read(fd, &c, 1) == 0;
	}
	close(fd);
	return ok;
}

struct client_options {
	bool command = false;
	long user = -1;
	int clients = 1;
	int count = 2000;
	double seconds = 3;
};

double percentile(std::vector<double> &values, double p)
{
	std::sort(values.begin(), values.end());
	return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

// Root gives way to a plain user: no supplementary groups, then the group,
// then the user. The service reads a peer's environment only while the peer
// is dumpable, which a change of user clears.
bool become_user(long uid)
{
	if (uid < 0)
		return true;
	auto id = static_cast<uid_t>(uid);
	if (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(id)) != 0 || setuid(id) != 0 ||
	    prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) != 0) {
		perror("conn_bench: user");
		return false;
	}
	return true;
}

int run_clients(const client_options &o)
{
	if (!become_user(o.user))
		return 1;
	std::atomic<int> started{0};
	std::atomic<int> failed{0};
	std::vector<std::vector<double>> lat(o.clients);
	std::vector<std::vector<double>> version(o.clients);
	const auto t0 = bench_clock::now();
	const auto deadline = t0 + std::chrono::duration<double>(o.seconds);
	std::vector<std::thread> threads;
	for (int c = 0; c < o.clients; c++) {
		threads.emplace_back([&, c] {
			while (started.fetch_add(1) < o.count && bench_clock::now() < deadline) {
				auto a = bench_clock::now();
				double to_version;
				if (!one_connection(o.command, &to_version)) {
					failed++;
					return;
				}
				auto b = bench_clock::now();
				lat[c].push_back(std::chrono::duration<double, std::micro>(b - a).count());
				version[c].push_back(to_version);
			}
		});
	}
	for (auto &t : threads)
		t.join();
	const double elapsed = std::chrono::duration<double>(bench_clock::now() - t0).count();
	std::vector<double> all, to_version;
	for (int c = 0; c < o.clients; c++) {
		all.insert(all.end(), lat[c].begin(), lat[c].end());
		to_version.insert(to_version.end(), version[c].begin(), version[c].end());
	}
	if (all.empty() || failed > 0) {
		fprintf(stderr, "conn_bench: %d connections failed, %zu completed\n",
			failed.load(), all.size());
		return 1;
	}
	printf("{\"connections\": %zu, \"per_second\": %.1f, \"p50_us\": %.1f, \"p99_us\": %.1f, "
	       "\"version_p50_us\": %.1f, \"version_p99_us\": %.1f}\n",
	       all.size(), all.size() / elapsed, percentile(all, 0.50), percentile(all, 0.99),
	       percentile(to_version, 0.50), percentile(to_version, 0.99));
	return 0;
}

long smaps_private_kib(pid_t pid)
{
	std::string path = "/proc/" + std::to_string(pid) + "/smaps_rollup";
	FILE *f = fopen(path.c_str(), "re");
	if (!f)
		return -1;
	char line[256];
	long total = 0;
	while (fgets(line, sizeof(line), f)) {
		long kib;
		if (strncmp(line, "Private_", 8) == 0 && sscanf(strchr(line, ':') + 1, "%ld", &kib) == 1)
			total += kib;
	}
	fclose(f);
	return total;
}

long status_kib(pid_t pid, const char *key)
{
	std::string path = "/proc/" + std::to_string(pid) + "/status";
	FILE *f = fopen(path.c_str(), "re");
	if (!f)
		return -1;
	char line[256];
	long kib = -1;
	size_t klen = strlen(key);
	while (fgets(line, sizeof(line), f))
		if (strncmp(line, key, klen) == 0 && line[klen] == ':')
			sscanf(line + klen + 1, "%ld", &kib);
	fclose(f);
	return kib;
}

std::vector<pid_t> children_of(pid_t pid)
{
	std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
	std::vector<pid_t> out;
	FILE *f = fopen(path.c_str(), "re");
	if (!f)
		return out;
	long c;
	while (fscanf(f, "%ld", &c) == 1)
		out.push_back(static_cast<pid_t>(c));
	fclose(f);
	return out;
}

// A connection held open after its handshake, by a process of the given
// user, until the pipe's other end closes; -1 when it could not be made.
pid_t hold_connection(long user, int *release)
{
	int ready[2], hold[2];
	if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(hold, O_CLOEXEC) != 0)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		close(ready[0]);
		close(hold[1]);
		char c = 1;
		if (!become_user(user))
			_exit(1);
		int fd = connect_service();
		if (fd < 0 || !peer_handshake(fd) || !write_full(ready[1], &c, 1))
			_exit(1);
		read(hold[0], &c, 1);
		_exit(0);
	}
	close(ready[1]);
	close(hold[0]);
	char c;
	if (pid < 0 || !read_full(ready[0], &c, 1)) {
		close(ready[0]);
		close(hold[1]);
		return -1;
	}
	close(ready[0]);
	*release = hold[1];
	return pid;
}

// Resident memory of the idle server, then the private memory of the child
// that serves one connection held open after its handshake. The measuring
// process stays root: a child that changed its user is readable only so.
int run_memory(pid_t server, long user)
{
	long idle_rss = status_kib(server, "VmRSS");
	auto before = children_of(server);
	int release = -1;
	pid_t holder = hold_connection(user, &release);
	if (holder < 0) {
		fprintf(stderr, "conn_bench: memory: handshake failed\n");
		return 1;
	}
	pid_t child = -1;
	for (int i = 0; i < 200 && child < 0; i++) {
		for (pid_t c : children_of(server))
			if (std::find(before.begin(), before.end(), c) == before.end())
				child = c;
		if (child < 0)
			usleep(10000);
	}
	// Let the child settle into waiting for a command.
	usleep(50000);
	long child_private = child < 0 ? -1 : smaps_private_kib(child);
	long child_rss = child < 0 ? -1 : status_kib(child, "VmRSS");
	close(release);
	waitpid(holder, nullptr, 0);
	printf("{\"idle_rss_kib\": %ld, \"child_private_kib\": %ld, \"child_rss_kib\": %ld}\n",
	       idle_rss, child_private, child_rss);
	return child_private < 0 ? 1 : 0;
}

// Another user's flood: connections that get the version word are held, up to
// what the service allows one user, and every further one is closed at once.
// Prints "held N" once holding, waits for a line on standard input, floods
// for the given time or count, and prints what happened.
int run_flood(const client_options &o)
{
	if (!become_user(o.user))
		return 1;
	std::vector<int> held;
	for (;;) {
		int fd = connect_service();
		if (fd < 0) {
			perror("conn_bench: flood");
			return 1;
		}
		if (!read_version(fd)) {
			close(fd);
			break;
		}
		held.push_back(fd);
	}
	printf("held %zu\n", held.size());
	fflush(stdout);
	char line[16];
	if (!fgets(line, sizeof(line), stdin))
		return 1;
	long refused = 0, served = 0;
	const auto t0 = bench_clock::now();
	const auto deadline = t0 + std::chrono::duration<double>(o.seconds);
	while (refused + served < o.count && bench_clock::now() < deadline) {
		int fd = connect_service();
		if (fd < 0)
			continue;
		// A slot freed meanwhile takes the connection in; it is held like the rest.
		if (read_version(fd)) {
			served++;
			held.push_back(fd);
		} else {
			refused++;
			close(fd);
		}
	}
	const double elapsed = std::chrono::duration<double>(bench_clock::now() - t0).count();
	printf("{\"refused\": %ld, \"served\": %ld, \"per_second\": %.1f}\n", refused, served,
	       (refused + served) / elapsed);
	for (int fd : held)
		close(fd);
	return 0;
}

int run_wait(double seconds)
{
	const auto deadline = bench_clock::now() + std::chrono::duration<double>(seconds);
	while (bench_clock::now() < deadline) {
		int fd = connect_service();
		if (fd >= 0) {
			close(fd);
			return 0;
		}
		usleep(10000);
	}
	fprintf(stderr, "conn_bench: no server listening\n");
	return 1;
}

void open_url(const std::string &url)
{
	pid_t pid = fork();
	if (pid == 0) {
		execlp("xdg-open", "xdg-open", url.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	if (pid > 0)
		waitpid(pid, nullptr, 0);
}

// The server's half: handshake, then commands until the peer closes.
void serve(int in, int out)
{
	uint32_t word;
	uint8_t status;
	if (!write_full(out, &PROTOCOL_VERSION, 4) || !read_full(in, &word, 4))
		return;
	bool version_ok = word == PROTOCOL_VERSION;
	if (!write_full(out, version_ok ? &STATUS_OK : &STATUS_NOT_OK, 1) || !version_ok)
		return;
	if (!read_full(in, &status, 1) || status != STATUS_OK ||
	    !write_full(out, &OFFERED_OPTIONS, 4) || !read_full(in, &word, 4) ||
	    !write_full(out, &STATUS_OK, 1) || !read_full(in, &status, 1) || status != STATUS_OK)
		return;
	uint32_t header[2];
	while (read_full(in, header, CMD_HEADER_SIZE)) {
		std::string body(header[1], '\0');
		if (!read_full(in, body.data(), body.size()))
			return;
		if (header[0] == CMD_OPEN_URL && body.size() > OPEN_URL_PREFIX_SIZE)
			open_url(body.substr(OPEN_URL_PREFIX_SIZE));
	}
}

void reap_children(int)
{
	int saved = errno;
	while (waitpid(-1, nullptr, WNOHANG) > 0)
		;
	errno = saved;
}

int run_floor()
{
	// Reaped by waiting, not ignored, so that its children's CPU time is counted.
	struct sigaction reap = {};
	reap.sa_handler = reap_children;
	reap.sa_flags = SA_RESTART;
	sigaction(SIGCHLD, &reap, nullptr);
	int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
	sockaddr_un addr;
	socklen_t len = service_address(&addr);
	if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(lfd, 0) != 0) {
		perror("conn_bench: floor");
		return 1;
	}
	for (;;) {
		int fd = accept(lfd, nullptr, nullptr);
		if (fd < 0)
			continue;
		pid_t pid = fork();
		if (pid == 0) {
			signal(SIGCHLD, SIG_DFL);
			close(lfd);
			serve(fd, fd);
			_exit(0);
		}
		close(fd);
	}
}

int usage()
{
	fprintf(stderr, "usage: conn_bench client [--command] [--user UID] [--clients N] [--count N] [--seconds S]\n"
			"       conn_bench flood --user UID [--count N] [--seconds S]\n"
			"       conn_bench memory SERVER_PID [--user UID]\n"
			"       conn_bench wait SECONDS | floor | stdio | socket-name\n");
	return 2;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2)
		return usage();
	std::string mode = argv[1];
	// A server that closes early shows as a failed connection, not a dead client.
	signal(SIGPIPE, SIG_IGN);
	if (mode == "client" || mode == "flood") {
		client_options o;
		for (int i = 2; i < argc; i++) {
			std::string a = argv[i];
			if (a == "--command")
				o.command = true;
			else if (a == "--user" && i + 1 < argc)
				o.user = atol(argv[++i]);
			else if (a == "--clients" && i + 1 < argc)
				o.clients = std::max(1, atoi(argv[++i]));
			else if (a == "--count" && i + 1 < argc)
				o.count = std::max(1, atoi(argv[++i]));
			else if (a == "--seconds" && i + 1 < argc)
				o.seconds = atof(argv[++i]);
			else
				return usage();
		}
		if (mode == "flood")
			return o.user < 0 ? usage() : run_flood(o);
		return run_clients(o);
	}
	if (mode == "memory" && (argc == 3 || (argc == 5 && std::string(argv[3]) == "--user")))
		return run_memory(static_cast<pid_t>(atol(argv[2])), argc == 5 ? atol(argv[4]) : -1);
	if (mode == "wait" && argc == 3)
		return run_wait(atof(argv[2]));
	if (mode == "floor")
		return run_floor();
	if (mode == "stdio") {
		serve(0, 1);
		return 0;
	}
	if (mode == "socket-name") {
		printf("%s\n", SERVICE_SOCKET_NAME);
		return 0;
	}
	return usage();
}
