// The environment filter, and change_environ against real peers of our own
// user: no identity change is needed, so no root either.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "service/environ.h"
#include "service/service.h"

using namespace std::string_literals;

namespace {

logger test_logger;
std::vector<std::string> records;

void collect(int, const char *text, void *)
{
	records.emplace_back(text);
}

constexpr char PEER_FLAG[] = "--environ-peer";

} // namespace

event_base *ev_base = nullptr;
logger *plgr = &test_logger;

// Re-executed as a peer, this binary only reports that its environment is in
// place and waits to be killed; "truncate" first drops the final NUL of it.
__attribute__((constructor)) static void environ_peer(int argc, char **argv, char **envp)
{
	if (argc < 3 || strcmp(argv[1], PEER_FLAG) != 0)
		return;
	if (argc > 3 && envp[0]) {
		size_t n = 0;
		while (envp[n + 1])
			n++;
		envp[n][strlen(envp[n])] = 'X';
	}
	int ready = atoi(argv[2]);
	(void)!write(ready, "r", 1);
	close(ready);
	for (;;)
		pause();
}

namespace {

struct outcome {
	int result = 0;
	std::vector<std::string> environ;
	std::vector<std::string> records;
};

bool wait_readable(int fd)
{
	pollfd p = {fd, POLLIN, 0};
	return poll(&p, 1, 10000) == 1;
}

// Runs change_environ on fd in a child, so that our own environment is kept.
outcome run_change_environ(int fd)
{
	int out[2];
	EXPECT_EQ(pipe(out), 0);
	pid_t pid = fork();
	if (pid == 0) {
		close(out[0]);
		records.clear();
		std::string report = std::to_string(change_environ(fd));
		report.push_back('\0');
		for (char **e = environ; e && *e; e++)
			report += std::string("E") + *e + '\0';
		for (const std::string &r : records)
			report += "R" + r + '\0';
		(void)!write(out[1], report.data(), report.size());
		_exit(0);
	}
	close(out[1]);
	std::string report;
	char chunk[4096];
	ssize_t got;
	while (wait_readable(out[0]) && (got = read(out[0], chunk, sizeof(chunk))) > 0)
		report.append(chunk, static_cast<size_t>(got));
	close(out[0]);
	waitpid(pid, nullptr, 0);

	outcome o;
	size_t start = 0;
	bool first = true;
	for (size_t end; (end = report.find('\0', start)) != std::string::npos; start = end + 1) {
		std::string item = report.substr(start, end - start);
		if (first)
			o.result = std::stoi(item);
		else if (item[0] == 'E')
			o.environ.push_back(item.substr(1));
		else
			o.records.push_back(item.substr(1));
		first = false;
	}
	return o;
}

class ChangeEnviron : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(logger_init(&test_logger), 0);
		ASSERT_EQ(logger_set_format(&test_logger, "%v %F: %m"), 0);
		logger_set_level(&test_logger, LEVEL_ERROR);
		logger_set_writer(&test_logger, collect, nullptr);

		listener = socket(AF_UNIX, SOCK_STREAM, 0);
		ASSERT_NE(listener, -1);
		addr.sun_family = AF_UNIX;
		std::string name = "quillmere-peer-test-" + std::to_string(getpid());
		memcpy(addr.sun_path + 1, name.data(), name.size());
		addr_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
		ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), addr_length), 0);
		ASSERT_EQ(listen(listener, 1), 0);
	}

	void TearDown() override
	{
		if (peer > 0) {
			kill(peer, SIGKILL);
			waitpid(peer, nullptr, 0);
		}
		if (conn != -1)
			close(conn);
		close(listener);
		logger_destroy(&test_logger);
	}

	// Connects from a child that then carries exactly env; returns our end.
	void start_peer(const std::vector<std::string> &env, bool truncate = false)
	{
		int ready[2];
		ASSERT_EQ(pipe(ready), 0);
		peer = fork();
		ASSERT_NE(peer, -1);
		if (peer == 0) {
			close(ready[0]);
			int fd = socket(AF_UNIX, SOCK_STREAM, 0);
			if (connect(fd, reinterpret_cast<sockaddr *>(&addr), addr_length) != 0)
				_exit(1);
			std::string fd_text = std::to_string(ready[1]);
			std::vector<char *> argv = {const_cast<char *>("peer_test"),
						    const_cast<char *>(PEER_FLAG), fd_text.data()};
			if (truncate)
				argv.push_back(const_cast<char *>("truncate"));
			argv.push_back(nullptr);
			std::vector<char *> envp;
			for (const std::string &e : env)
				envp.push_back(const_cast<char *>(e.c_str()));
			envp.push_back(nullptr);
			execve("/proc/self/exe", argv.data(), envp.data());
			_exit(1);
		}
		close(ready[1]);
		conn = accept(listener, nullptr, nullptr);
		ASSERT_NE(conn, -1);
		char byte;
		ASSERT_TRUE(wait_readable(ready[0]));
		ASSERT_EQ(read(ready[0], &byte, 1), 1);
		close(ready[0]);
	}

	int listener = -1;
	sockaddr_un addr = {};
	socklen_t addr_length = 0;
	pid_t peer = -1;
	int conn = -1;
};

} // namespace

TEST(EnvironFilter, WhatEachCallerKeeps)
{
	// Each entry as a caller in the service's own view of the files, and as a
	// confined one, passes it on. A confined caller's displays are candidates
	// here: the walk takes only the one whose listener was checked.
	const struct {
		const char *entry;
		bool accepted;
		bool confined;
	} rows[] = {
		{"DISPLAY=:0", true, true},
		{"WAYLAND_DISPLAY=wayland-0", true, true},
		{"HOME=/home/u", true, false},
		{"HOMEDIR=/home/u", false, false},
		{"XDG_CONFIG_HOME=/", false, false},
		{"XDG_DATA_HOME=/", false, false},
		{"XDG_CONFIG_HOME=/home/u/.config", true, false},
		{"XDG_SESSION_TYPE=x11", true, true},
		// The service's own view of these replaces a confined caller's.
		{"XDG_RUNTIME_DIR=/run/user/1000", true, false},
		{"DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus", true, false},
		{"DBUS_SESSION_BUS_ADDRESS=unixexec:path=/bin/sh,argv1=-c,argv2=id", true, false},
		{"SESSION_MANAGER=local/unix", true, false},
		{"SESSION_MANAGER=", true, false},
		{"PATH=/usr/bin:/bin", false, false},
		// The session's X cookie, and its language.
		{"XAUTHORITY=/home/u/.Xauthority", true, false},
		{"XAUTHORITY=/run/user/1/xauth_a", true, false},
		{"XAUTHORITY=xauth", false, false},
		{"XAUTHORITYX=/x", false, false},
		{"LANG=de_DE.UTF-8", true, true},
		{"LC_ALL=de_DE.UTF-8", true, true},
		{"LC_TIME=en_GB.UTF-8", true, true},
		{"LANGUAGE=de:en", true, true},
		{"LC_PAPER_SIZE=a4", true, true},
		// A locale with a slash is a path to files of the caller's choosing:
		// dropped, whatever else the entry holds.
		{"LANG=/tmp/x", false, false},
		{"LC_ALL=../x", false, false},
		{"LC_ALL=/tmp/x/DISPLAY=y", false, false},
		{"LANG", false, false},
		{"LC_=x", false, false},
		{"LCX=1", false, false},
		{"LC_time=x", false, false},
		{"LC_=x:DISPLAY=1", true, false},
		{"A=DISPLAY=1", true, false},
		{"", false, false},
		{"XDG_CURRENT_DESKTOP=GNOME", true, true},
		{"XDG_CURRENT_DESKTOP=ubuntu:GNOME", true, true},
		{"XDG_CURRENT_DESKTOP=X-Cinnamon", true, true},
		{"XDG_SESSION_TYPE=wayland", true, true},
		{"XDG_SESSION_DESKTOP=gnome_classic", true, true},
		{"XDG_CURRENT_DESKTOP=", true, true},
		// Desktop names that a script could act on as more than a word.
		{"XDG_CURRENT_DESKTOP=GNOME;id", true, false},
		{"XDG_CURRENT_DESKTOP=../x", true, false},
		{"XDG_SESSION_TYPE=x11 wayland", true, false},
		{"XDG_SESSION_DESKTOP=$(id)", true, false},
		// Displays of a plain form only: a number and a screen, or a name.
		{"DISPLAY=:0.1", true, true},
		{"DISPLAY=:12", true, true},
		{"DISPLAY=", true, false},
		{"DISPLAY=:", true, false},
		{"DISPLAY=:0.", true, false},
		{"DISPLAY=:x", true, false},
		{"DISPLAY=host:0", true, false},
		{"DISPLAY=unix:0", true, false},
		{"DISPLAY=/tmp/.X11-unix/X0", true, false},
		{"DISPLAY=:0.1.2", true, false},
		{"WAYLAND_DISPLAY=/run/user/1/wayland-0", true, false},
		{"WAYLAND_DISPLAY=../1/wayland-0", true, false},
		{"WAYLAND_DISPLAY=", true, false},
		// What picks programs, handlers or their settings.
		{"XDG_DATA_HOME=/proc/1/root/evil", true, false},
		{"XDG_DATA_DIRS=/usr/share", true, false},
		{"XDG_CONFIG_DIRS=/etc/xdg", true, false},
		{"PATH=/proc/1/root/bin:DISPLAY=", true, false},
		{"LD_PRELOAD=/x.so:DISPLAY=:0", true, false},
		{"BROWSER=/x", false, false},
		// Near misses: prefixes and names are whole, and case counts.
		{"XDG", false, false},
		{"xdg_session_type=x11", false, false},
		{"HOME", false, false},
		{"XDG_DATA_HOME=//", true, false},
		{"DISPLAY", false, false},
		{"DISPLAY2=:0", false, false},
		{"XDISPLAY=:0", true, false},
		{"display=:0", false, false},
		{" DISPLAY=:0", true, false},
		{"=DISPLAY=:0", true, false},
	};
	for (const auto &row : rows) {
		EXPECT_EQ(accept_environ_entry(row.entry), row.accepted) << '"' << row.entry << '"';
		EXPECT_EQ(accept_confined_entry(row.entry), row.confined) << '"' << row.entry << '"';
	}
}

TEST(EnvironFilter, ConfinedDisplaysOnlyWhereChecked)
{
	// Candidates of a confined caller that the service did not check, or
	// earlier entries of a checked name, never reach the environment.
	std::string file = "DISPLAY=:1"s + '\0' + "WAYLAND_DISPLAY=w-0" + '\0' + "DISPLAY=:2" + '\0' +
			   "XDG_SESSION_TYPE=x11" + '\0' + "WAYLAND_DISPLAY=w-1" + '\0';
	const char *second = file.data() + file.find("DISPLAY=:2");
	ASSERT_EQ(last_entry_of(file.data(), file.size(), "DISPLAY"), second);
	ASSERT_EQ(last_entry_of(file.data(), file.size(), "WAYLAND_DISPLAY"),
		  file.data() + file.find("WAYLAND_DISPLAY=w-1"));
	ASSERT_EQ(last_entry_of(file.data(), file.size(), "DISPLA"), nullptr);
	confined_displays checked;
	checked.display = second;
	char **ours = environ;
	int result = put_environ_entries(plgr, file.data(), file.size(), &checked);
	std::vector<std::string> kept;
	for (char **e = environ; *e; e++)
		kept.emplace_back(*e);
	environ = ours;
	EXPECT_EQ(result, 0);
	EXPECT_EQ(kept, (std::vector<std::string>{"DISPLAY=:2", "XDG_SESSION_TYPE=x11"}));
}

TEST(Confinement, StatusLinesAndLabels)
{
	const struct {
		const char *line;
		bool confines;
	} lines[] = {
		{"NoNewPrivs:\t0", false},
		{"NoNewPrivs:\t1", true},
		{"Seccomp:\t0", false},
		{"Seccomp:\t2", true},
		{"Seccomp:\t1", true},
		{"Seccomp_filters:\t0", false},
		{"Seccomp_filters:\t3", false},
		{"Name:\tNoNewPrivs:\t1", false},
		{"Groups:\t0 1", false},
	};
	for (const auto &row : lines)
		EXPECT_EQ(status_line_confines(row.line), row.confines) << row.line;
	const struct {
		std::string_view label;
		bool enforced;
	} labels[] = {
		{"unconfined", false},
		{"snap.firefox.firefox (enforce)", true},
		{"snap.firefox.firefox (enforce)\n", true},
		{std::string_view("flatpak (enforce)\0", 18), true},
		{"snap.x.x (complain)", false},
		{"x (unconfined)", false},
		{"x (kill)", true},
		{"x (user)", true},
		{"a (complain)//&b (enforce)", true},
		{"a (enforce)//&b (complain)", true},
		{"a (complain)//&b (unconfined)", false},
		{"unconfined_u:unconfined_r:unconfined_t:s0-s0:c0.c1023", false},
		{"(enforce)", false},
	};
	for (const auto &row : labels)
		EXPECT_EQ(label_confines(row.label), row.enforced) << row.label;
}

TEST_F(ChangeEnviron, KeepsOnlySessionEntries)
{
	start_peer({"DISPLAY=:0", "WAYLAND_DISPLAY=wayland-0", "HOME=/home/u", "HOMEDIR=/home/u",
		    "XDG_CONFIG_HOME=/", "XDG_DATA_HOME=/", "XDG_CONFIG_HOME=/home/u/.config",
		    "XDG_SESSION_TYPE=x11", "XDG_RUNTIME_DIR=/run/user/1000",
		    "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus",
		    "SESSION_MANAGER=local/unix", "SESSION_MANAGER=", "PATH=/usr/bin:/bin",
		    "XAUTHORITY=/home/u/.Xauthority", "LANG=de_DE.UTF-8", "", "A=DISPLAY=1"});
	outcome o = run_change_environ(conn);
	EXPECT_EQ(o.result, 0);
	EXPECT_EQ(o.environ, (std::vector<std::string>{
				     "DISPLAY=:0", "WAYLAND_DISPLAY=wayland-0", "HOME=/home/u",
				     "XDG_CONFIG_HOME=/home/u/.config", "XDG_SESSION_TYPE=x11",
				     "XDG_RUNTIME_DIR=/run/user/1000",
				     "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus",
				     "SESSION_MANAGER=", "XAUTHORITY=/home/u/.Xauthority",
				     "LANG=de_DE.UTF-8", "A=DISPLAY=1"}));
	EXPECT_TRUE(o.records.empty());
}

TEST_F(ChangeEnviron, EntriesAcrossReadBoundaries)
{
	// 500 bytes dropped, then an entry over byte 512, then one over 1024 and 1536.
	std::string pad = "PADDING=" + std::string(491, 'p');
	std::string first = "XDG_FIRST=" + std::string(40, 'a');
	std::string second = "DISPLAY=" + std::string(1000, 'b');
	std::string last = "HOME=/home/" + std::string(600, 'c');
	start_peer({pad, first, "LANG=/C", second, last});
	outcome o = run_change_environ(conn);
	EXPECT_EQ(o.result, 0);
	EXPECT_EQ(o.environ, (std::vector<std::string>{first, second, last}));
}

TEST_F(ChangeEnviron, EmptyEnvironment)
{
	start_peer({});
	outcome o = run_change_environ(conn);
	EXPECT_EQ(o.result, 0);
	EXPECT_TRUE(o.environ.empty());
	EXPECT_TRUE(o.records.empty());
}

TEST_F(ChangeEnviron, EntryWithoutNulStopsTheWalk)
{
	start_peer({"DISPLAY=:0", "PATH=/bin", "HOME=/h", "XDG_SESSION_TYPE=x11"}, true);
	outcome o = run_change_environ(conn);
	EXPECT_EQ(o.result, -1);
	EXPECT_EQ(o.environ, (std::vector<std::string>{"DISPLAY=:0", "HOME=/h"}));
	EXPECT_EQ(o.records, (std::vector<std::string>{"E change_environ: no null into string"}));
}

TEST_F(ChangeEnviron, PeerGoneBeforeTheRead)
{
	pid_t gone = fork();
	ASSERT_NE(gone, -1);
	if (gone == 0) {
		int fd = socket(AF_UNIX, SOCK_STREAM, 0);
		_exit(connect(fd, reinterpret_cast<sockaddr *>(&addr), addr_length) == 0 ? 0 : 1);
	}
	conn = accept(listener, nullptr, nullptr);
	ASSERT_NE(conn, -1);
	int status;
	ASSERT_EQ(waitpid(gone, &status, 0), gone);
	ASSERT_EQ(status, 0);

	std::vector<std::string> ours;
	for (char **e = environ; e && *e; e++)
		ours.emplace_back(*e);
	outcome o = run_change_environ(conn);
	EXPECT_EQ(o.result, -1);
	EXPECT_EQ(o.records, (std::vector<std::string>{
				     "E change_environ: unable to open: -2: No such file or directory"}));
	// The failure comes before anything is changed.
	EXPECT_EQ(o.environ, ours);
}

TEST_F(ChangeEnviron, NotASocket)
{
	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	outcome o = run_change_environ(fds[0]);
	close(fds[0]);
	close(fds[1]);
	EXPECT_EQ(o.result, -1);
	EXPECT_EQ(o.records, (std::vector<std::string>{"E change_environ: unable to get options: -88"}));
}
