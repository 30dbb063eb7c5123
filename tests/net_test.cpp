// The connection protocol driven in-process: the service's end of a
// socketpair on an event base of our own, the peer's end written from the
// test and drained by a reader thread, and a stand-in opener on PATH.
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/net.h"
#include "protocol/process.h"

event_base *ev_base;
logger *plgr;

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using strings = std::vector<std::string>;
using argument_lists = std::vector<strings>;

std::string hex(const char *text)
{
	std::istringstream in(text);
	std::string bytes;
	unsigned value;
	while (in >> std::hex >> value)
		bytes += static_cast<char>(value);
	return bytes;
}

std::string word(uint32_t v)
{
	return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

std::string command(uint32_t cmd, const std::string &body)
{
	return word(cmd) + word(static_cast<uint32_t>(body.size())) + body;
}

std::string open_url_command(const std::string &url)
{
	return command(CMD_OPEN_URL, "\0\0\0\0"s + url);
}

const std::string VERSION_WORD = word(PROTOCOL_VERSION);
// The peer's half of a successful handshake offering no options, and the service's.
const std::string HANDSHAKE = VERSION_WORD + "\0"s + word(0) + "\0"s;
const std::string ACCEPTED = hex("01 00 01 00  00  02 00 00 00  00");
const strings HANDSHAKE_RECORDS = {
	"INFO received_handshake: version 0x10001/0x10001",
	"INFO received_handshake: options 0x0/0x2",
};

strings operator+(strings a, const strings &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

std::string read_file(const fs::path &path)
{
	std::ifstream in(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(in), {}};
}

std::string environment(const char *name)
{
	const char *value = getenv(name);
	return value ? value : "";
}

fs::path make_temp_dir()
{
	std::string pattern = (fs::temp_directory_path() / "quillmere-net-XXXXXX").string();
	if (!mkdtemp(pattern.data()))
		throw std::runtime_error("mkdtemp: "s + strerror(errno));
	return fs::canonical(pattern);
}

// Records its arguments and the descriptors it was started with (names listed
// before the shell opens any, resolved by a helper shell so that the recording
// itself opens nothing in this one), then does what "behaviour" says.
constexpr char STUB[] = R"(fds=
for f in /proc/$$/fd/*; do fds="$fds ${f##*/}"; done
n=1
while [ -e "$DIR/call$n" ]; do n=$((n + 1)); done
c="$DIR/call$n"
mkdir "$c"
/bin/sh -c 'for fd in $1; do readlink "/proc/$2/fd/$fd" >"$3/fd.$fd" || rm -f "$3/fd.$fd"; done' sh "$fds" $$ "$c"
echo $# >"$c/argc"
(set -- $(cat /proc/$$/stat); [ "$6" = $$ ] && : >"$c/session-leader")
i=0
for a; do i=$((i + 1)); printf %s "$a" >"$c/arg.$i"; done
if [ -f "$DIR/behaviour" ]; then . "$DIR/behaviour"; fi
exit 0
)";

struct run_record {
	strings args;
	std::map<int, std::string> fds;
	bool session_leader;
};

// A stand-in `xdg-open`, first on PATH for as long as it lives; absent, PATH
// holds only an empty directory.
class opener {
public:
	explicit opener(bool present = true) : dir(make_temp_dir()), saved_path(environment("PATH"))
	{
		std::string path = dir.string();
		if (present) {
			std::ofstream(dir / "xdg-open")
				<< "#!/bin/sh\nDIR='" << path << "'\n" << STUB;
			chmod((dir / "xdg-open").c_str(), 0755);
			path += ":" + saved_path;
		}
		setenv("PATH", path.c_str(), 1);
	}
	~opener()
	{
		setenv("PATH", saved_path.c_str(), 1);
		fs::remove_all(dir);
	}

	void behave(const std::string &shell) { std::ofstream(dir / "behaviour") << shell << "\n"; }

	std::vector<run_record> runs() const
	{
		std::vector<run_record> runs;
		for (int n = 1; fs::exists(dir / ("call" + std::to_string(n))); n++) {
			fs::path call = dir / ("call" + std::to_string(n));
			run_record run;
			run.session_leader = fs::exists(call / "session-leader");
			int argc = std::stoi(read_file(call / "argc"));
			for (int i = 1; i <= argc; i++)
				run.args.push_back(read_file(call / ("arg." + std::to_string(i))));
			for (const auto &entry : fs::directory_iterator(call)) {
				std::string name = entry.path().filename();
				std::string target = read_file(entry.path());
				if (name.starts_with("fd.") && target != (dir / "xdg-open").string() + "\n")
					run.fds[std::stoi(name.substr(3))] = target.substr(0, target.size() - 1);
			}
			runs.push_back(run);
		}
		return runs;
	}

	argument_lists arguments() const
	{
		argument_lists all;
		for (const auto &run : runs())
			all.push_back(run.args);
		return all;
	}

private:
	fs::path dir;
	std::string saved_path;
};

// As the service starts a connection child: the null device on 0 and 1,
// which is what its openers get. The test's own output goes to a copy of
// what standard output was.
struct null_streams {
	null_streams()
	{
		int null = open("/dev/null", O_RDWR);
		int out = dup(STDOUT_FILENO);
		if (null < 0 || out < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0)
			abort();
		close(null);
		stdout = fdopen(out, "w");
		setvbuf(stdout, nullptr, _IOLBF, 0);
	}
} held_streams;

int read_calls;

void counted_read_cb(bufferevent *bev, void *arg)
{
	read_calls++;
	read_cb(bev, arg);
}

void collect(int, const char *text, void *data)
{
	static_cast<strings *>(data)->push_back(text);
}

// One connection as a connection child serves it, with the peer's end here.
class connection {
public:
	connection()
	{
		logger_init(&log);
		EXPECT_EQ(logger_set_format(&log, "%V %F: %m%n"), 0);
		logger_set_level(&log, LEVEL_DUMP);
		logger_set_writer(&log, collect, &full_records);
		plgr = &log;

		base = ev_base = event_base_new();
		// Fails the test instead of hanging it when the loop waits forever.
		watchdog = evtimer_new(base, [](evutil_socket_t, short, void *flag) {
			*static_cast<bool *>(flag) = true;
			event_base_loopbreak(ev_base);
		}, &expired);
		timeval limit {60, 0};
		evtimer_add(watchdog, &limit);

		// Not close-on-exec, as an accepted socket: only the launch may keep it from the opener.
		int ends[2];
		EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
		peer = ends[0];
		EXPECT_EQ(net_client_init(ends[1]), 0);
		bufferevent_setcb(client.bev, counted_read_cb, nullptr, event_cb, nullptr);
		read_calls = 0;

		// Reserved up front so that the thread never allocates while the loop forks.
		received.reserve(1 << 16);
		reader = std::thread([this] {
			char buffer[4096];
			ssize_t n;
			while ((n = read(peer, buffer, sizeof buffer)) > 0) {
				std::lock_guard lock(mutex);
				received.append(buffer, n);
			}
		});
	}
	~connection()
	{
		finish();
		plgr = nullptr;
		logger_destroy(&log);
	}

	void send(const std::string &bytes)
	{
		EXPECT_EQ(::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL),
			  static_cast<ssize_t>(bytes.size()));
	}
	void hang_up() { shutdown(peer, SHUT_WR); }

	// Until the connection ends itself.
	void run()
	{
		event_base_dispatch(base);
		EXPECT_FALSE(expired);
	}
	template <class F> void step_until(F done)
	{
		while (!done() && !expired)
			event_base_loop(base, EVLOOP_ONCE);
		EXPECT_FALSE(expired);
	}

	size_t low_mark() const
	{
		size_t low = 0, high = 0;
		bufferevent_getwatermark(client.bev, EV_READ, &low, &high);
		// Input is bounded whatever the peer sends, and the unit awaited fits.
		EXPECT_GT(high, low);
		EXPECT_LT(high, 1u << 20);
		return low;
	}
	size_t buffered() const { return evbuffer_get_length(bufferevent_get_input(client.bev)); }
	// Bytes sent by the peer that the service has not read from its socket yet.
	size_t unread() const
	{
		int queued = 0;
		EXPECT_EQ(ioctl(peer, SIOCOUTQ, &queued), 0);
		return static_cast<size_t>(queued);
	}
	void flush()
	{
		step_until([] { return evbuffer_get_length(bufferevent_get_output(client.bev)) == 0; });
	}

	// Frees the connection as the service does; returns all the peer received.
	std::string finish()
	{
		if (base) {
			net_client_free();
			event_free(watchdog);
			// Runs the bufferevent's finaliser, which closes the socket.
			event_base_free(base);
			base = ev_base = nullptr;
			reader.join();
			close(peer);
			int status;
			EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "an opener left unreaped";
		}
		std::lock_guard lock(mutex);
		return received;
	}

	// First line of each record, which for a dump is its label.
	strings records() const
	{
		strings lines;
		for (const auto &record : full_records)
			lines.push_back(record.substr(0, record.find('\n')));
		return lines;
	}

	strings full_records;

private:
	logger log {};
	event_base *base = nullptr;
	event *watchdog = nullptr;
	bool expired = false;
	int peer = -1;
	std::thread reader;
	std::mutex mutex;
	std::string received;
};

TEST(Protocol, WorkedExampleByteExact)
{
	opener stub;
	connection c;
	c.send(hex("01 00 01 00"));
	c.step_until([] { return client.phase == PHASE_VERSION_STATUS; });
	c.send(hex("00"));
	c.step_until([] { return client.phase == PHASE_OPTIONS; });
	c.send(hex("00 00 00 00"));
	c.step_until([] { return client.phase == PHASE_OPTIONS_STATUS; });
	c.send(hex("00"));
	c.step_until([] { return client.phase == PHASE_COMMAND; });
	EXPECT_EQ(client.options, 0u);

	c.send(hex("01 00 00 00 0f 00 00 00"));
	c.step_until([&] { return c.low_mark() == 23; });
	EXPECT_EQ(c.records(), HANDSHAKE_RECORDS + strings {"DEBUG received_data: cmd 1/15"});
	c.send(hex("00 00 00 00 61 62 6f 75 74 3a 62 6c 61 6e 6b"));
	c.step_until([&] { return c.low_mark() == 8; });
	EXPECT_EQ(c.buffered(), 0u);
	c.hang_up();
	c.run();

	EXPECT_EQ(c.finish(), ACCEPTED);
	EXPECT_EQ(c.records(), (HANDSHAKE_RECORDS + strings {"DEBUG received_data: cmd 1/15",
		"DUMP received_data: URL", "INFO event_cb: disconnected"}));
	EXPECT_NE(c.full_records.at(3).find("  |about:blank     |\n"), std::string::npos);
	EXPECT_EQ(stub.arguments(), (argument_lists {{"about:blank"}}));
}

TEST(Protocol, OpenerSeesOnlyStandardDescriptorsOnNull)
{
	opener stub;
	connection c;
	c.send(HANDSHAKE + open_url_command("about:blank"));
	c.hang_up();
	c.run();
	c.finish();
	auto runs = stub.runs();
	ASSERT_EQ(runs.size(), 1u);
	strings held;
	for (const auto &[fd, target] : runs[0].fds)
		held.push_back(std::to_string(fd) + " " + target);
	EXPECT_EQ(held.size(), 3u) << testing::PrintToString(held);
	EXPECT_EQ(runs[0].fds[0], "/dev/null");
	EXPECT_EQ(runs[0].fds[1], "/dev/null");
	EXPECT_EQ(runs[0].fds[2], "/dev/null");
	// Never in the service's session, whose terminal it could otherwise reach.
	EXPECT_TRUE(runs[0].session_leader);
}

TEST(Protocol, VersionMismatchAnswersNotOkAndHandlesNothingAfter)
{
	opener stub;
	connection c;
	c.send(word(0x00010002) + HANDSHAKE.substr(4) + open_url_command("never"));
	c.run();
	EXPECT_EQ(client.phase, PHASE_CLOSE);
	EXPECT_EQ(c.finish(), hex("01 00 01 00  01"));
	EXPECT_EQ(c.records(), strings {"INFO received_handshake: version 0x10002/0x10001"});
	EXPECT_TRUE(stub.runs().empty());
}

TEST(Protocol, NotOkStatusesEndAfterTheQueuedReplies)
{
	struct {
		const char *name;
		std::string input;
		std::string output;
		strings records;
	} cases[] = {
		{"version 01", VERSION_WORD + "\x01"s, hex("01 00 01 00  00"),
		 {HANDSHAKE_RECORDS[0], "ERROR received_handshake: version not ok"}},
		{"version ff", VERSION_WORD + "\xff"s, hex("01 00 01 00  00"),
		 {HANDSHAKE_RECORDS[0], "ERROR received_handshake: version not ok"}},
		{"options 01", HANDSHAKE.substr(0, 9) + "\x01"s, ACCEPTED,
		 HANDSHAKE_RECORDS + strings {"ERROR received_handshake: options not ok"}},
		{"options ff", HANDSHAKE.substr(0, 9) + "\xff"s, ACCEPTED,
		 HANDSHAKE_RECORDS + strings {"ERROR received_handshake: options not ok"}},
	};
	for (const auto &test : cases) {
		SCOPED_TRACE(test.name);
		opener stub;
		connection c;
		c.send(test.input + open_url_command("never"));
		c.run();
		EXPECT_EQ(client.phase, PHASE_CLOSE);
		EXPECT_EQ(c.finish(), test.output);
		EXPECT_EQ(c.records(), test.records);
		EXPECT_TRUE(stub.runs().empty());
	}
}

TEST(Protocol, AgreedOptionsAreTheOfferAndThePeersWord)
{
	const uint32_t cases[][2] = {{0xffffffff, 2}, {0, 0}, {2, 2}, {1, 0}};
	for (const auto &[offered, agreed] : cases) {
		SCOPED_TRACE(offered);
		connection c;
		c.send(VERSION_WORD + "\0"s + word(offered) + "\0"s);
		c.step_until([] { return client.phase == PHASE_COMMAND; });
		EXPECT_EQ(client.options, agreed);
		c.flush();
		EXPECT_EQ(c.finish(), ACCEPTED);
	}
}

TEST(Protocol, HandshakeAndTwoCommandsInOneWrite)
{
	opener stub;
	connection c;
	c.send(HANDSHAKE + open_url_command("first") + open_url_command("second"));
	c.hang_up();
	c.run();
	EXPECT_EQ(read_calls, 1);
	EXPECT_EQ(c.finish(), ACCEPTED);
	EXPECT_EQ(c.records(), (HANDSHAKE_RECORDS + strings {"DEBUG received_data: cmd 1/9",
		"DUMP received_data: URL", "DEBUG received_data: cmd 1/10",
		"DUMP received_data: URL", "INFO event_cb: disconnected"}));
	EXPECT_EQ(stub.arguments(), (argument_lists {{"first"}, {"second"}}));
}

TEST(Protocol, VersionOneByteAtATimeWaitsForTheWholeWord)
{
	connection c;
	for (size_t i = 0; i < 3; i++) {
		c.send(VERSION_WORD.substr(i, 1));
		c.step_until([&] { return c.buffered() == i + 1; });
		EXPECT_EQ(c.low_mark(), 4u);
		EXPECT_EQ(client.phase, PHASE_VERSION);
	}
	EXPECT_EQ(read_calls, 1);
	EXPECT_TRUE(c.records().empty());
	c.send(VERSION_WORD.substr(3));
	c.step_until([] { return client.phase == PHASE_VERSION_STATUS; });
	EXPECT_EQ(c.low_mark(), 1u);
	EXPECT_EQ(c.records(), strings {HANDSHAKE_RECORDS[0]});
	c.flush();
	EXPECT_EQ(c.finish(), hex("01 00 01 00  00"));
}

TEST(Protocol, BodyInTwoHalvesIsHandledWhole)
{
	opener stub;
	connection c;
	std::string url = "https://example.org/" + std::string(76, 'q');
	std::string message = open_url_command(url);
	ASSERT_EQ(message.size(), 108u);
	c.send(HANDSHAKE + message.substr(0, 58));
	c.step_until([&] { return c.low_mark() == 108; });
	EXPECT_EQ(c.records(), HANDSHAKE_RECORDS + strings {"DEBUG received_data: cmd 1/100"});
	c.send(message.substr(58));
	c.hang_up();
	c.run();
	EXPECT_EQ(c.records(), (HANDSHAKE_RECORDS + strings {"DEBUG received_data: cmd 1/100",
		"DUMP received_data: URL", "INFO event_cb: disconnected"}));
	EXPECT_EQ(stub.arguments(), (argument_lists {{url}}));
}

TEST(Protocol, OverlongCommandsAreSkippedAsTheyArrive)
{
	// Neither command is ever held whole: its body is dropped as it comes.
	const std::string longest(OPEN_URL_MAX_LENGTH, 'u');
	struct {
		const char *name;
		std::string header;
		uint64_t body;
		strings records;
	} cases[] = {
		{"URL of 2^32 - 5 bytes", word(CMD_OPEN_URL) + word(0xffffffff), 3u << 20,
		 {"DEBUG received_data: cmd 1/4294967295",
		  "ERROR received_data: URL too long: 4294967295 bytes, skipped"}},
		{"URL one byte too long", word(CMD_OPEN_URL) + word(OPEN_URL_MAX_LENGTH + 5), 0,
		 {"DEBUG received_data: cmd 1/131076",
		  "ERROR received_data: URL too long: 131076 bytes, skipped"}},
		{"unknown command of 3 MiB", word(7) + word(3u << 20), 3u << 20,
		 {"DEBUG received_data: cmd 7/3145728", "WARNING received_data: unknown cmd 7"}},
	};
	for (const auto &test : cases) {
		SCOPED_TRACE(test.name);
		opener stub;
		connection c;
		c.send(HANDSHAKE + test.header);
		c.step_until([&] { return c.records().size() == HANDSHAKE_RECORDS.size() + 2; });
		EXPECT_EQ(c.records(), (HANDSHAKE_RECORDS + test.records));
		uint64_t length = load_word(reinterpret_cast<const unsigned char *>(test.header.data()) + 4);
		uint64_t sent = 0;
		const std::string chunk(65536, 'x');
		while (sent < (test.body ? test.body : length)) {
			size_t n = std::min<uint64_t>(chunk.size(), (test.body ? test.body : length) - sent);
			c.send(chunk.substr(0, n));
			sent += n;
			c.step_until([&] { return c.unread() == 0 && c.buffered() == 0; });
		}
		if (sent == length)
			c.send(open_url_command("next") + open_url_command(longest));
		c.hang_up();
		c.run();
		const argument_lists opened = sent == length ? argument_lists {{"next"}, {longest}}
							     : argument_lists {};
		EXPECT_EQ(stub.arguments(), opened);
	}
}

TEST(Protocol, PipelinedHandshakeGetsItsRepliesBeforeAProtocolError)
{
	connection c;
	c.send(HANDSHAKE + command(CMD_OPEN_URL, "abc") + open_url_command("never"));
	c.run();
	EXPECT_EQ(c.records(), (HANDSHAKE_RECORDS + strings {"DEBUG received_data: cmd 1/3",
		"ERROR received_data: protocol error cmd 1/3"}));
	EXPECT_EQ(c.finish(), ACCEPTED);
}

// A peer can send commands faster than anyone reads a log: a burst of
// unknown ones gets one record, and one that sums up the rest at the end.
TEST(Protocol, UnknownCommandsInABurstAreSummedUp)
{
	opener stub;
	connection c;
	c.send(HANDSHAKE + command(2, "") + command(3, "x") + command(2, "") + open_url_command("next"));
	c.hang_up();
	c.run();
	c.finish();
	const strings expected = HANDSHAKE_RECORDS + strings {"DEBUG received_data: cmd 2/0",
		"WARNING received_data: unknown cmd 2", "DEBUG received_data: cmd 3/1",
		"DEBUG received_data: cmd 2/0", "DEBUG received_data: cmd 1/8", "DUMP received_data: URL",
		"INFO event_cb: disconnected", "WARNING received_data: skipped 2 more unknown commands"};
	EXPECT_EQ(c.records(), expected);
	EXPECT_EQ(stub.arguments(), (argument_lists {{"next"}}));
}

TEST(Protocol, CommandsAfterTheHandshake)
{
	const strings ended = {"INFO event_cb: disconnected"};
	const strings next = {"DEBUG received_data: cmd 1/8", "DUMP received_data: URL"};
	struct {
		const char *name;
		std::string input;
		strings records;
		argument_lists runs;
		std::string dump = {};
	} cases[] = {
		{"empty URL", open_url_command("") + open_url_command("next"),
		 strings {"DEBUG received_data: cmd 1/4"} + next + ended, {{""}, {"next"}}},
		{"length 3", command(CMD_OPEN_URL, "abc") + open_url_command("next"),
		 {"DEBUG received_data: cmd 1/3", "ERROR received_data: protocol error cmd 1/3"}, {}},
		{"unknown command", command(2, "0123456789") + open_url_command("next"),
		 strings {"DEBUG received_data: cmd 2/10", "WARNING received_data: unknown cmd 2"} + next + ended,
		 {{"next"}}},
		{"command 0", command(0, "") + open_url_command("next"),
		 strings {"DEBUG received_data: cmd 0/0", "WARNING received_data: unknown cmd 0"} + next + ended,
		 {{"next"}}},
		{"NUL in URL", open_url_command("ab\0cd"s),
		 strings {"DEBUG received_data: cmd 1/9", "DUMP received_data: URL"} + ended, {{"ab"}},
		 "61 62 00 63 64"},
		{"any prefix", command(CMD_OPEN_URL, "\xff\x01\0\x80next"s), next + ended, {{"next"}}},
	};
	for (const auto &test : cases) {
		SCOPED_TRACE(test.name);
		opener stub;
		connection c;
		c.send(HANDSHAKE + test.input);
		c.hang_up();
		c.run();
		EXPECT_EQ(c.records(), HANDSHAKE_RECORDS + test.records);
		EXPECT_EQ(stub.arguments(), test.runs);
		if (!test.dump.empty()) {
			EXPECT_NE(c.full_records.at(3).find(test.dump), std::string::npos);
		}
	}
}

TEST(Protocol, EndOfFileInsideAUnitDropsIt)
{
	const std::string message = open_url_command("about:blank");
	const strings ended = {"INFO event_cb: disconnected"};
	struct {
		std::string input;
		strings records;
	} cases[] = {
		{VERSION_WORD.substr(0, 2), ended},
		{HANDSHAKE + message.substr(0, 5), HANDSHAKE_RECORDS + ended},
		{HANDSHAKE + message.substr(0, 15),
		 HANDSHAKE_RECORDS + strings {"DEBUG received_data: cmd 1/15"} + ended},
	};
	for (const auto &test : cases) {
		SCOPED_TRACE(test.input.size());
		opener stub;
		connection c;
		c.send(test.input);
		c.hang_up();
		c.run();
		EXPECT_EQ(c.records(), test.records);
		EXPECT_TRUE(stub.runs().empty());
	}
}

// Each end of an opener gets its record, the first of a connection, then at
// most one a second: a second opener that ends alike at once is counted,
// and summed up when the connection ends.
TEST(Launch, EndsOfTheOpener)
{
	const strings by_signal = {"ERROR open_url: 1 more openers ended by a signal"};
	const strings non_zero = {"INFO open_url: 1 more openers exited with a non-zero status"};
	struct {
		const char *behaviour;
		strings error;
		strings summed_up;
	} cases[] = {
		{"kill -KILL $$", {"ERROR open_url: unable to process: 9"}, by_signal},
		{"kill -TERM $$", {"ERROR open_url: unable to process: 15"}, by_signal},
		{"exit 3", {"INFO open_url: opener exited with 3"}, non_zero},
		// What an opener that cannot be executed exits with, too.
		{"exit 1", {"INFO open_url: opener exited with 1"}, non_zero},
		{"exit 0", {}, {}},
	};
	const strings command = {"DEBUG received_data: cmd 1/5", "DUMP received_data: URL"};
	for (const auto &test : cases) {
		SCOPED_TRACE(test.behaviour);
		opener stub;
		stub.behave(test.behaviour);
		connection c;
		c.send(HANDSHAKE + open_url_command("a") + open_url_command("b"));
		c.hang_up();
		c.run();
		c.finish();
		EXPECT_EQ(c.records(), HANDSHAKE_RECORDS + command + test.error + command +
					       strings {"INFO event_cb: disconnected"} + test.summed_up);
		EXPECT_EQ(stub.arguments(), (argument_lists {{"a"}, {"b"}}));
	}
}

TEST(Launch, MissingOpenerExitsWithOneAndTheConnectionGoesOn)
{
	opener absent(false);
	connection c;
	c.send(HANDSHAKE + open_url_command("a") + open_url_command("b"));
	c.hang_up();
	c.run();
	strings command = {"DEBUG received_data: cmd 1/5", "DUMP received_data: URL"};
	EXPECT_EQ(c.records(), HANDSHAKE_RECORDS + command + strings {"INFO open_url: opener exited with 1"} +
				       command + strings {"INFO event_cb: disconnected"});
}

TEST(Events, EndOfFileBeforeErrorBeforeOthers)
{
	struct {
		short events;
		const char *record;
		bool ends;
	} cases[] = {
		{BEV_EVENT_EOF | BEV_EVENT_READING, "INFO event_cb: disconnected", true},
		{BEV_EVENT_EOF | BEV_EVENT_ERROR, "INFO event_cb: disconnected", true},
		{BEV_EVENT_ERROR | BEV_EVENT_WRITING, "ERROR event_cb: connection error", true},
		{BEV_EVENT_CONNECTED, "INFO event_cb: event: 128", false},
	};
	for (const auto &test : cases) {
		SCOPED_TRACE(test.record);
		connection c;
		// A reply the socket has not taken yet, behind the version word.
		bufferevent_write(client.bev, "r", 1);
		event_cb(client.bev, test.events, nullptr);
		EXPECT_EQ(c.records(), strings {test.record});
		// A peer that only shut its side still gets the replies it is owed.
		if (test.events == (BEV_EVENT_EOF | BEV_EVENT_READING)) {
			EXPECT_EQ(event_base_got_break(ev_base), 0);
			c.run();
			EXPECT_EQ(c.finish(), VERSION_WORD + "r");
			continue;
		}
		EXPECT_EQ(event_base_got_break(ev_base) != 0, test.ends);
	}
}

TEST(Events, PhaseOutOfRangeEndsTheConnection)
{
	{
		connection c;
		client.phase = 7;
		c.send("x");
		c.step_until([] { return read_calls == 1; });
		EXPECT_EQ(c.records(), strings {"ERROR read_cb: phase error: 7"});
		EXPECT_TRUE(event_base_got_break(ev_base));
	}
	{
		connection c;
		client.phase = PHASE_COMMAND;
		const unsigned char unit[4] = {};
		EXPECT_FALSE(received_handshake(unit));
		EXPECT_EQ(c.records(), strings {"ERROR received_handshake: phase error: 4"});
		EXPECT_TRUE(event_base_got_break(ev_base));
	}
}

} // namespace
