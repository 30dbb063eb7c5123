// The log-level reader and its line trimmer.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "logger/logger.h"

namespace {

struct temp_file {
	std::string path;
	explicit temp_file(const std::string &content)
	{
		char name[] = "/tmp/config_test.XXXXXX";
		int fd = mkstemp(name);
		if (fd < 0)
			return;
		path = name;
		if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
			path.clear();
		close(fd);
	}
	~temp_file() { unlink(path.c_str()); }
};

using namespace std::string_literals;

TEST(read_log_level, Files)
{
	const struct {
		const char *name;
		std::string content;
		int expected;
	} cases[] = {
		{"word with comment", "[app]\nlog level = info ; comment\n", LEVEL_INFO},
		{"digit counts the word", "[app]\nlog level=3", LEVEL_INFO},
		{"none", "[app]\nlog level = none\n", LEVEL_NONE},
		{"error", "[app]\nlog level = error\n", LEVEL_ERROR},
		{"digit 1", "[app]\nlog level = 1\n", LEVEL_ERROR},
		{"warning", "[app]\n  log level = warning # loud\n", LEVEL_WARNING},
		{"digit 4", "# head\n\n[app]\nlog level = 4\n", LEVEL_DEBUG},
		{"case matters", "[app]\nlog level = Info\n", -EINVAL},
		{"digit 5 is no level", "[app]\nlog level = 5\n", -EINVAL},
		{"empty value", "[app]\nlog level =\n", -EINVAL},
		{"before any header", "log level = info\n[app]\n", -EINVAL},
		{"other section only", "[other]\nlog level = info\n", -ENOENT},
		{"other section skipped unexamined", "[other]\nno equals here\n[app]\nlog level = debug\n",
		 LEVEL_DEBUG},
		{"requested twice", "[app]\nlog level = info\n[other]\n[app]\n", -EINVAL},
		{"other twice", "[other]\n[other]\n[app]\nlog level = info\n", LEVEL_INFO},
		{"key twice", "[app]\nlog level = info\nlog level = info\n", -EINVAL},
		{"error after level", "[app]\nlog level = info\n[broken\n", -EINVAL},
		{"text after bracket", "[app] x\nlog level = info\n", -EINVAL},
		{"comment after bracket", "[app] ; c\nlog level = info\n", LEVEL_INFO},
		{"no closing bracket", "[app\nlog level = info\n", -EINVAL},
		{"spaces keep the name", "[ app ]\nlog level = info\n", -ENOENT},
		{"line without equals", "[app]\nlog level info\n", -EINVAL},
		{"other keys skipped", "[app]\nlevel = bogus\nlog  level = bogus\nlog level = 2\n",
		 LEVEL_WARNING},
		{"windows line ends", "[app]\r\nlog level = debug\r\n", LEVEL_DEBUG},
		{"NUL ends the data", "[app]\nlog level = info\n\0log level = info\n"s, LEVEL_INFO},
		{"NUL hides the level", "[app]\n\0log level = info\n"s, -ENOENT},
		{"section missing setting", "[app]\n", -ENOENT},
		{"empty file", "", -ENOENT},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		temp_file f(c.content);
		ASSERT_FALSE(f.path.empty());
		EXPECT_EQ(read_log_level(f.path.c_str(), "app"), c.expected);
	}
}

long peak_rss_kib()
{
	struct rusage usage;
	return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : -1;
}

// A file of the given size whose only setting is at its start.
bool make_file(const std::string &path, off_t size)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
	if (fd < 0)
		return false;
	const char head[] = "[app]\nlog level = info\n";
	bool ok = write(fd, head, sizeof head - 1) == sizeof head - 1 && ftruncate(fd, size) == 0;
	close(fd);
	return ok;
}

// What the path names is refused from its kind and size, before any of it is
// read: nothing may block, and nothing large may be held.
TEST(read_log_level, RefusesWhatIsNoSmallRegularFile)
{
	char name[] = "/tmp/config_test.XXXXXX";
	ASSERT_NE(mkdtemp(name), nullptr);
	const std::string dir = name;
	const struct {
		const char *name;
		const char *path;
		bool (*make)(const std::string &);
		int expected;
	} cases[] = {
		{"directory", "dir", [](const std::string &p) { return mkdir(p.c_str(), 0700) == 0; },
		 -EISDIR},
		{"FIFO with no writer", "fifo",
		 [](const std::string &p) { return mkfifo(p.c_str(), 0600) == 0; }, -EINVAL},
		{"character device", "null",
		 [](const std::string &p) { return symlink("/dev/null", p.c_str()) == 0; }, -EINVAL},
		{"2 GiB sparse file", "sparse",
		 [](const std::string &p) { return make_file(p, off_t{2} << 30); }, -EFBIG},
		{"one byte over 1 MiB", "over",
		 [](const std::string &p) { return make_file(p, (1 << 20) + 1); }, -EFBIG},
		{"exactly 1 MiB", "limit", [](const std::string &p) { return make_file(p, 1 << 20); },
		 LEVEL_INFO},
		// A kernel attribute claims a page and holds a few bytes: never parse what was not read.
		{"file shorter than its size", "attribute",
		 [](const std::string &p) { return symlink("/sys/kernel/uevent_seqnum", p.c_str()) == 0; },
		 -EIO},
		{"link to a file", "link", [](const std::string &p) {
			 return make_file(p + ".target", 100) && symlink((p + ".target").c_str(), p.c_str()) == 0;
		 }, LEVEL_INFO},
	};
	long peak_before = peak_rss_kib();
	// A reader that blocks ends the test program instead of hanging it.
	alarm(30);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::string path = dir + "/" + c.path;
		ASSERT_TRUE(c.make(path));
		EXPECT_EQ(read_log_level(path.c_str(), "app"), c.expected);
	}
	alarm(0);
	// Reading the sparse file whole would make it resident: 2 GiB.
	EXPECT_LT(peak_rss_kib() - peak_before, 8 * 1024);
	std::error_code ec;
	std::filesystem::remove_all(dir, ec);
}

TEST(read_log_level, BadArguments)
{
	EXPECT_EQ(read_log_level("/nonexistent/quillmere.conf", "app"), -ENOENT);
	temp_file f("[app]\nlog level = info\n");
	EXPECT_EQ(read_log_level(f.path.c_str(), nullptr), -EINVAL);
	EXPECT_EQ(read_log_level(nullptr, "app"), -EINVAL);
}

TEST(trim_line, Cases)
{
	const struct {
		const char *in;
		const char *out;
	} cases[] = {
		{"", ""},
		{" \t\r\n", ""},
		{"  key = value  ", "key = value"},
		{"key ; comment", "key"},
		{"a#b", "a"},
		{"  # all comment", ""},
		{";", ""},
		{"inner  space\r", "inner  space"},
	};
	for (const auto &c : cases) {
		std::string buf = c.in;
		EXPECT_STREQ(trim_line(buf.data()), c.out) << '"' << c.in << '"';
	}
}

} // namespace
