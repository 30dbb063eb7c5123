// The standard-error writer: the journal's priorities, and how a record's
// text is cut into writes. Each case runs in a child whose descriptor 2 is a
// pipe or a packet socket that keeps every write as one message.
#include <limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logger/logger.h"

namespace {

std::string journal_stream(int fd)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return "";
	return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// Runs body in a child with fds[1] as standard error; JOURNAL_STREAM names
// fds[1] when journal is set, and another pipe otherwise. Returns what the
// child wrote, one element per read.
std::vector<std::string> run_child(int fds[2], bool journal, const std::function<void()> &body)
{
	pid_t child = fork();
	if (child == 0) {
		close(fds[0]);
		int other[2];
		if (pipe(other) != 0 || dup2(fds[1], STDERR_FILENO) < 0)
			_exit(2);
		setenv("JOURNAL_STREAM", journal_stream(journal ? STDERR_FILENO : other[1]).c_str(), 1);
		if (detect_stderr_journal() != journal)
			_exit(3);
		body();
		_exit(0);
	}
	close(fds[1]);
	std::vector<std::string> reads;
	std::vector<char> buf(1 << 20);
	ssize_t n;
	while (child > 0 && (n = read(fds[0], buf.data(), buf.size())) > 0)
		reads.emplace_back(buf.data(), static_cast<size_t>(n));
	close(fds[0]);
	int status = -1;
	if (child > 0)
		waitpid(child, &status, 0);
	EXPECT_EQ(status, 0) << "exit 2: set-up, 3: detection";
	return reads;
}

std::string joined(const std::vector<std::string> &parts)
{
	std::string all;
	for (const auto &p : parts)
		all += p;
	return all;
}

struct test_logger {
	logger lgr;
	explicit test_logger(const char *pattern)
	{
		logger_init(&lgr);
		logger_set_format(&lgr, pattern);
		logger_set_level(&lgr, LEVEL_DUMP);
		logger_set_writer(&lgr, stderr_writer, nullptr);
	}
	~test_logger() { logger_destroy(&lgr); }
};

void log_every_level(logger *lgr)
{
	for (int level = LEVEL_SERVICE; level <= LEVEL_DUMP; level++)
		logger_log(lgr, level, "main", 1, "f", "level %d", level);
	logger_log(lgr, LEVEL_INFO, "main", 1, "f", "two\nlines");
	logger_dump(lgr, LEVEL_DUMP, "net", 1, "f", "ABCDEFGHIJKLMNOP\0\n\x7f ", 20, "URL");
}

const char every_level[] =
	"S: f: level 1\n"
	"E: f: level 2\n"
	"W: f: level 3\n"
	"I: f: level 4\n"
	"D: f: level 5\n"
	"H: f: level 6\n"
	"I: f: two\n"
	"lines\n"
	"H: f: URL\n"
	"H: f: 00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n"
	"H: f: 00000010  00 0a 7f 20                                       |...             |\n";

TEST(StderrWriter, JournalGetsPriorityOnEveryLine)
{
	const char *priorities[] = {"<5>", "<3>", "<4>", "<6>", "<7>", "<7>",
				    "<6>", "<6>", "<7>", "<7>", "<7>"};
	std::string prefixed;
	size_t line = 0;
	for (const char *p = every_level; *p; line++) {
		const char *end = strchr(p, '\n') + 1;
		prefixed += priorities[line] + std::string(p, end);
		p = end;
	}
	ASSERT_EQ(line, std::size(priorities));

	for (bool journal : {true, false}) {
		SCOPED_TRACE(journal ? "journal" : "another pipe");
		int fds[2];
		ASSERT_EQ(pipe(fds), 0);
		auto out = run_child(fds, journal, [] {
			test_logger t("%v: %F: %m%n");
			log_every_level(&t.lgr);
		});
		EXPECT_EQ(joined(out), journal ? prefixed : std::string(every_level));
	}
}

// Each message on the packet socket is one write.
std::vector<std::string> writes_of(bool journal, const std::function<void()> &body)
{
	int fds[2];
	if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0)
		return {};
	return run_child(fds, journal, body);
}

std::string line_of(const std::string &text, size_t at)
{
	size_t start = text.rfind('\n', at == 0 ? 0 : at - 1);
	start = start == std::string::npos || at == 0 ? 0 : start + 1;
	size_t end = text.find('\n', at);
	return text.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
}

TEST(StderrWriter, DumpLinesJoinedIntoWritesOfAtMostPipeBuf)
{
	const std::string long_name(5000, 'n');
	const std::string long_label(6000, 'l');
	const struct {
		const char *name;
		const char *pattern;
		const char *function;
		const char *label;
		size_t length;
	} cases[] = {
		{"service frame", "%v: %F: %m%n", "received_data", "URL", 3000},
		{"line feed first", "%n%m", "f", "URL", 1000},
		{"no line feed at all", "%m", "f", "URL", 1000},
		{"lines over PIPE_BUF", "%F %m%n", long_name.c_str(), "URL", 100},
		{"header over PIPE_BUF", "%m%n", "f", long_label.c_str(), 1000},
		{"NUL in the label ends the text", "%m%n", "f", "a%cb", 100},
	};
	std::vector<unsigned char> data(3000);
	for (size_t i = 0; i < data.size(); i++)
		data[i] = static_cast<unsigned char>(i * 7);

	for (const auto &c : cases) {
		for (bool journal : {false, true}) {
			SCOPED_TRACE(std::string(c.name) + (journal ? ", journal" : ""));
			// The same dump as any other writer gets it whole.
			std::string expected;
			logger capture;
			logger_init(&capture);
			logger_set_format(&capture, c.pattern);
			logger_set_level(&capture, LEVEL_DUMP);
			logger_set_writer(&capture, [](int, const char *text, void *out) {
				*static_cast<std::string *>(out) = text;
			}, &expected);
			ASSERT_EQ(logger_dump(&capture, LEVEL_DUMP, "net", 1, c.function, data.data(),
					      c.length, c.label, 0), 0);
			logger_destroy(&capture);
			if (journal) {
				std::string prefixed;
				for (size_t at = 0; at < expected.size(); at = expected.find('\n', at) + 1) {
					prefixed += "<7>" + line_of(expected, at);
					if (expected.find('\n', at) == std::string::npos)
						break;
				}
				expected = prefixed;
			}

			auto writes = writes_of(journal, [&] {
				test_logger t(c.pattern);
				logger_dump(&t.lgr, LEVEL_DUMP, "net", 1, c.function, data.data(),
					    c.length, c.label, 0);
			});
			ASSERT_EQ(joined(writes), expected);
			size_t at = 0;
			for (size_t i = 0; i < writes.size(); i++) {
				const std::string &w = writes[i];
				EXPECT_LE(w.size(), size_t{PIPE_BUF});
				at += w.size();
				if (i + 1 == writes.size())
					break;
				// A write ends inside a line only when that line alone exceeds
				// PIPE_BUF; otherwise the next whole line did not fit.
				size_t line = line_of(expected, at).size();
				if (w.back() != '\n') {
					EXPECT_GT(line, size_t{PIPE_BUF});
				} else if (line <= PIPE_BUF) {
					EXPECT_GT(w.size() + line, size_t{PIPE_BUF});
				}
			}
		}
	}
}

TEST(StderrWriter, OtherRecordsAreOneWriteEach)
{
	const std::string big(10000, 'x');
	const std::string lines = std::string(3000, 'a') + "\n" + std::string(3000, 'b');
	for (bool journal : {false, true}) {
		SCOPED_TRACE(journal ? "journal" : "plain");
		auto writes = writes_of(journal, [&] {
			test_logger t("%m%n");
			logger_log(&t.lgr, LEVEL_ERROR, "main", 1, "f", "%s", big.c_str());
			logger_log(&t.lgr, LEVEL_ERROR, "main", 1, "f", "%s", lines.c_str());
			stderr_writer(LEVEL_ERROR, "", nullptr);
		});
		const std::string p = journal ? "<3>" : "";
		ASSERT_EQ(writes.size(), 2u);
		EXPECT_EQ(writes[0], p + big + "\n");
		EXPECT_EQ(writes[1], p + std::string(3000, 'a') + "\n" + p + std::string(3000, 'b') + "\n");
	}
}

} // namespace
