// The path of one connection, measured from the peer's side, and the two
// servers it is compared with: a minimal fork-per-connection floor, and a
// handshake responder on standard input and output for a socket wrapper.
//
//   conn_bench client [--command] [--clients N] [--count N] [--seconds S]
//   conn_bench memory SERVER_PID
//   conn_bench wait SECONDS
//   conn_bench floor
//   conn_bench stdio
//   conn_bench socket-name
#include "protocol/wire.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
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

// The peer's half of the handshake; the service speaks first.
bool peer_handshake(int fd)
{
	uint32_t word;
	uint8_t status;
	const uint32_t no_options = 0;
	return read_full(fd, &word, 4) && word == PROTOCOL_VERSION &&
	       write_full(fd, &PROTOCOL_VERSION, 4) &&
	       read_full(fd, &status, 1) && status == STATUS_OK &&
	       write_full(fd, &STATUS_OK, 1) &&
	       read_full(fd, &word, 4) && word == OFFERED_OPTIONS &&
	       write_full(fd, &no_options, 4) &&
	       read_full(fd, &status, 1) && status == STATUS_OK &&
	       write_full(fd, &STATUS_OK, 1);
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
// orderly close that waits for the server's side to close too.
bool one_connection(bool command)
{
	int fd = connect_service();
	if (fd < 0)
		return false;
	bool ok = peer_handshake(fd) && (!command || send_open_url(fd));
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
	int clients = 1;
	int count = 2000;
	double seconds = 3;
};

int run_clients(const client_options &o)
{
	std::atomic<int> started{0};
	std::atomic<int> failed{0};
	std::vector<std::vector<double>> lat(o.clients);
	const auto t0 = bench_clock::now();
	const auto deadline = t0 + std::chrono::duration<double>(o.seconds);
	std::vector<std::thread> threads;
	for (int c = 0; c < o.clients; c++) {
		threads.emplace_back([&, c] {
			while (started.fetch_add(1) < o.count && bench_clock::now() < deadline) {
				auto a = bench_clock::now();
				if (!one_connection(o.command)) {
					failed++;
					return;
				}
				auto b = bench_clock::now();
				lat[c].push_back(std::chrono::duration<double, std::micro>(b - a).count());
			}
		});
	}
	for (auto &t : threads)
		t.join();
	const double elapsed = std::chrono::duration<double>(bench_clock::now() - t0).count();
	std::vector<double> all;
	for (auto &l : lat)
		all.insert(all.end(), l.begin(), l.end());
	if (all.empty() || failed > 0) {
		fprintf(stderr, "conn_bench: %d connections failed, %zu completed\n",
			failed.load(), all.size());
		return 1;
	}
	std::sort(all.begin(), all.end());
	auto pct = [&](double p) { return all[std::min(all.size() - 1, static_cast<size_t>(p * all.size()))]; };
	printf("{\"connections\": %zu, \"per_second\": %.1f, \"p50_us\": %.1f, \"p99_us\": %.1f}\n",
	       all.size(), all.size() / elapsed, pct(0.50), pct(0.99));
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

// Resident memory of the idle server, then the private memory of the child
// that serves one connection held open after its handshake.
int run_memory(pid_t server)
{
	long idle_rss = status_kib(server, "VmRSS");
	auto before = children_of(server);
	int fd = connect_service();
	if (fd < 0 || !peer_handshake(fd)) {
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
	close(fd);
	printf("{\"idle_rss_kib\": %ld, \"child_private_kib\": %ld, \"child_rss_kib\": %ld}\n",
	       idle_rss, child_private, child_rss);
	return child_private < 0 ? 1 : 0;
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

int run_floor()
{
	signal(SIGCHLD, SIG_IGN);
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
	fprintf(stderr, "usage: conn_bench client [--command] [--clients N] [--count N] [--seconds S]\n"
			"       conn_bench memory SERVER_PID | wait SECONDS | floor | stdio | socket-name\n");
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
	if (mode == "client") {
		client_options o;
		for (int i = 2; i < argc; i++) {
			std::string a = argv[i];
			if (a == "--command")
				o.command = true;
			else if (a == "--clients" && i + 1 < argc)
				o.clients = std::max(1, atoi(argv[++i]));
			else if (a == "--count" && i + 1 < argc)
				o.count = std::max(1, atoi(argv[++i]));
			else if (a == "--seconds" && i + 1 < argc)
				o.seconds = atof(argv[++i]);
			else
				return usage();
		}
		return run_clients(o);
	}
	if (mode == "memory" && argc == 3)
		return run_memory(static_cast<pid_t>(atol(argv[2])));
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
