#include "logger/logger.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *service_pattern = "%v: %D: %P: %F: %m%n";
constexpr const char *date_re = R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.\d{3})";

struct capture {
	std::vector<std::string> texts;
	std::vector<int> levels;
	int errno_to_leave = 0;
};

void capture_writer(int level, const char *text, void *data)
{
	auto *out = static_cast<capture *>(data);
	out->texts.push_back(text);
	out->levels.push_back(level);
	if (out->errno_to_leave != 0)
		errno = out->errno_to_leave;
}

class LoggerTest : public testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(logger_init(&lgr), 0);
		logger_set_writer(&lgr, capture_writer, &out);
	}
	void TearDown() override { EXPECT_EQ(logger_destroy(&lgr), 0); }

	// Sets a pattern and a threshold and logs message at level.
	int log(const char *pattern, int threshold, int level, const char *message = "x")
	{
		EXPECT_EQ(logger_set_format(&lgr, pattern), 0);
		logger_set_level(&lgr, threshold);
		return logger_log(&lgr, level, "main", 42, "accept_cb", "%s", message);
	}

	logger lgr;
	capture out;
};

TEST(Logger, InitAndDestroyLeaveSilentObject)
{
	logger lgr;
	memset(&lgr, 0xa5, sizeof lgr);
	ASSERT_EQ(logger_init(&lgr), 0);
	EXPECT_EQ(lgr.format, nullptr);
	EXPECT_EQ(lgr.format_reserve, 0u);
	EXPECT_EQ(lgr.buffer, nullptr);
	EXPECT_EQ(lgr.buffer_size, 0u);
	EXPECT_EQ(lgr.threshold, 0);
	EXPECT_EQ(lgr.writer, nullptr);
	EXPECT_EQ(lgr.writer_data, nullptr);
	EXPECT_EQ(logger_log(&lgr, LEVEL_NONE, "main", 1, "f", "x"), 0);
	EXPECT_EQ(lgr.buffer, nullptr);

	ASSERT_EQ(logger_set_format(&lgr, "%m"), 0);
	EXPECT_EQ(logger_log(&lgr, LEVEL_NONE, "main", 1, "f", "x"), 0);
	EXPECT_NE(lgr.buffer, nullptr);
	EXPECT_EQ(logger_destroy(&lgr), 0);
	EXPECT_EQ(lgr.format, nullptr);
	EXPECT_EQ(lgr.buffer, nullptr);
	EXPECT_EQ(lgr.buffer_size, 0u);
}

TEST_F(LoggerTest, AcceptRecordMatchesServiceLayout)
{
	ASSERT_EQ(logger_set_format(&lgr, service_pattern), 0);
	EXPECT_EQ(lgr.format_reserve, 122u);
	logger_set_level(&lgr, LEVEL_INFO);
	logger_set_writer(&lgr, capture_writer, &out);
	time_t before = time(nullptr) - 1;
	ASSERT_EQ(logger_log(&lgr, LEVEL_INFO, "main", 311, "accept_cb", "new process: %li", 4321L), 0);
	time_t after = time(nullptr) + 1;

	ASSERT_EQ(out.texts.size(), 1u);
	EXPECT_EQ(out.levels[0], LEVEL_INFO);
	EXPECT_EQ(lgr.buffer_size, 140u);
	const std::string &text = out.texts[0];
	std::string pid = std::to_string(getpid());
	EXPECT_EQ(text.size(), 63 - 4 + pid.size());
	std::smatch m;
	ASSERT_TRUE(std::regex_match(text, m, std::regex(std::string("I: (") + date_re +
							   "): (\\d+): accept_cb: new process: 4321\n")));
	EXPECT_EQ(m[2], pid);
	char low[32], high[32];
	struct tm tm;
	strftime(low, sizeof low, "%Y.%m.%d %H:%M:%S", localtime_r(&before, &tm));
	strftime(high, sizeof high, "%Y.%m.%d %H:%M:%S", localtime_r(&after, &tm));
	EXPECT_LE(low, m[1].str().substr(0, 19));
	EXPECT_GE(high, m[1].str().substr(0, 19));
}

TEST_F(LoggerTest, ThresholdAndLevelRendering)
{
	struct {
		int threshold, level;
		const char *pattern;
		int result;
		const char *text; // null: nothing delivered
	} cases[] = {
		{LEVEL_ERROR, LEVEL_WARNING, "%v %m", 0, nullptr},
		{LEVEL_ERROR, LEVEL_ERROR, "%v %m", 0, "E x"},
		{LEVEL_ERROR, LEVEL_SERVICE, "%V %m", 0, "SERVICE x"},
		{LEVEL_NONE, LEVEL_SERVICE, "%v %m", 0, nullptr},
		{LEVEL_NONE, LEVEL_NONE, "%v: %V: %m", 0, ": : x"},
		{LEVEL_DUMP, 7, "%v %m", 0, nullptr},
		{7, 7, "%v %m", -22, nullptr},
		{7, 7, "%V %m", -22, nullptr},
		{7, 7, "%l %m", 0, "42 x"},
		{LEVEL_NONE, -1, "%V", -22, nullptr},
		{LEVEL_NONE, -1, "%f %m", 0, "main x"},
		{-1, LEVEL_NONE, "%m", 0, nullptr},
		{LEVEL_DUMP, LEVEL_SERVICE, "%V/%v", 0, "SERVICE/S"},
		{LEVEL_DUMP, LEVEL_ERROR, "%V/%v", 0, "ERROR/E"},
		{LEVEL_DUMP, LEVEL_WARNING, "%V/%v", 0, "WARNING/W"},
		{LEVEL_DUMP, LEVEL_INFO, "%V/%v", 0, "INFO/I"},
		{LEVEL_DUMP, LEVEL_DEBUG, "%V/%v", 0, "DEBUG/D"},
		{LEVEL_DUMP, LEVEL_DUMP, "%V/%v", 0, "DUMP/H"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << c.pattern << " level " << c.level << " threshold " << c.threshold);
		out.texts.clear();
		EXPECT_EQ(log(c.pattern, c.threshold, c.level), c.result);
		if (c.text == nullptr) {
			EXPECT_TRUE(out.texts.empty());
		} else {
			ASSERT_EQ(out.texts.size(), 1u);
			EXPECT_EQ(out.texts[0], c.text);
		}
	}
}

TEST_F(LoggerTest, PatternsRenderLiterallyAndPerDirective)
{
	struct {
		const char *pattern, *message, *text;
		uint64_t reserve;
	} cases[] = {
		{"", "x", "", 0},
		{"100%%", "x", "100%", 4},
		{"[%v] %m.", "x", "[I] x.", 5},
		{"%f:%l:%F", "x", "main:42:accept_cb", 154},
		{"a\tb%n", "x", "a\tb\n", 4},
		{"%m|%m", "ab", "ab|ab", 1},
		{"no message", "x", "no message", 10},
		{"%m", "50%d %m", "50%d %m", 0},
		{"%D%F%f%l%m%n%P%T%t%V%v", "", nullptr, 258},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.pattern);
		out.texts.clear();
		ASSERT_EQ(log(c.pattern, LEVEL_INFO, LEVEL_INFO, c.message), 0);
		EXPECT_EQ(lgr.format_reserve, c.reserve);
		ASSERT_EQ(out.texts.size(), 1u);
		if (c.text != nullptr) {
			EXPECT_EQ(out.texts[0], c.text);
		}
	}
}

TEST_F(LoggerTest, ProcessThreadAndClockDirectives)
{
	time_t before = time(nullptr);
	ASSERT_EQ(log("%P|%T|%t|%D", LEVEL_INFO, LEVEL_INFO), 0);
	time_t after = time(nullptr);
	ASSERT_EQ(out.texts.size(), 1u);
	std::smatch m;
	ASSERT_TRUE(std::regex_match(out.texts[0], m, std::regex(std::string(R"((\d+)\|([0-9a-f]+)\|(\d+)\|)") + date_re)));
	EXPECT_EQ(m[1], std::to_string(getpid()));
	EXPECT_EQ(std::stoul(m[2], nullptr, 16), static_cast<unsigned long>(pthread_self()));
	EXPECT_GE(std::stol(m[3]), before);
	EXPECT_LE(std::stol(m[3]), after);
}

// The call-site check must agree with the threshold exactly, and skip the
// arguments of a dropped record without skipping those of a produced one.
TEST_F(LoggerTest, CallSiteCheckFollowsTheThreshold)
{
	ASSERT_EQ(logger_set_format(&lgr, "%v %m"), 0);
	int evaluated = 0;
	auto argument = [&] { return ++evaluated; };
	for (int threshold : {LEVEL_NONE, LEVEL_ERROR, LEVEL_DEBUG}) {
		logger_set_level(&lgr, threshold);
		for (int level = LEVEL_SERVICE; level <= LEVEL_DUMP; level++) {
			SCOPED_TRACE(testing::Message() << threshold << "/" << level);
			out.texts.clear();
			evaluated = 0;
			EXPECT_EQ(logger_passes(&lgr, level), level <= threshold);
			EXPECT_EQ(LOGGER_LOG(&lgr, level, "main", "accept_cb", "%i", argument()), 0);
			EXPECT_EQ(evaluated, level <= threshold ? 1 : 0);
			EXPECT_EQ(out.texts.size(), level <= threshold ? 1u : 0u);
		}
	}
}

TEST_F(LoggerTest, InvalidPatternKeepsPreviousOne)
{
	const char *invalid[] = {"%", "abc%", "%x", "%M", "%%%", "%d", "%m%"};
	for (const char *pattern : invalid) {
		SCOPED_TRACE(pattern);
		ASSERT_EQ(logger_set_format(&lgr, nullptr), 0);
		EXPECT_EQ(logger_set_format(&lgr, pattern), -22);
		EXPECT_EQ(lgr.format, nullptr);
		EXPECT_EQ(logger_log(&lgr, LEVEL_NONE, "main", 1, "f", "x"), 0);
		EXPECT_TRUE(out.texts.empty());

		ASSERT_EQ(logger_set_format(&lgr, "<%m>"), 0);
		EXPECT_EQ(logger_set_format(&lgr, pattern), -22);
		EXPECT_EQ(lgr.format_reserve, 2u);
		EXPECT_EQ(logger_log(&lgr, LEVEL_NONE, "main", 1, "f", "x"), 0);
		ASSERT_EQ(out.texts.size(), 1u);
		EXPECT_EQ(out.texts[0], "<x>");
		out.texts.clear();
	}
}

TEST_F(LoggerTest, NullPatternStopsAndOwnCopyCanBeSetAgain)
{
	ASSERT_EQ(log("<%m>", LEVEL_INFO, LEVEL_INFO), 0);
	ASSERT_EQ(logger_set_format(&lgr, lgr.format), 0);
	ASSERT_EQ(logger_log(&lgr, LEVEL_INFO, "main", 1, "f", "y"), 0);
	ASSERT_EQ(logger_set_format(&lgr, nullptr), 0);
	EXPECT_EQ(lgr.format_reserve, 0u);
	EXPECT_EQ(logger_log(&lgr, LEVEL_INFO, "main", 1, "f", "z"), 0);
	EXPECT_EQ(out.texts, (std::vector<std::string>{"<x>", "<y>"}));
	EXPECT_EQ(lgr.threshold, LEVEL_INFO);
	EXPECT_EQ(lgr.writer, capture_writer);
}

TEST_F(LoggerTest, BufferGrowsToExactNeedAndNeverShrinks)
{
	ASSERT_EQ(log("%v: %m", LEVEL_DEBUG, LEVEL_DEBUG, "twelve bytes"), 0);
	EXPECT_EQ(lgr.buffer_size, 3u + 12 + 1);
	char *first = lgr.buffer;
	ASSERT_EQ(log("%v: %m", LEVEL_DEBUG, LEVEL_DEBUG, "x"), 0);
	EXPECT_EQ(lgr.buffer_size, 16u);
	EXPECT_EQ(lgr.buffer, first);
	ASSERT_EQ(log("%v: %m", LEVEL_DEBUG, LEVEL_DEBUG, "twenty bytes of text"), 0);
	EXPECT_EQ(lgr.buffer_size, 3u + 20 + 1);
	EXPECT_EQ(log("%v: %m", LEVEL_DEBUG, LEVEL_DUMP, std::string(100, 'y').c_str()), 0);
	EXPECT_EQ(lgr.buffer_size, 24u);
	EXPECT_EQ(out.texts.back(), "D: twenty bytes of text");
}

// Names past their 64-byte reserve and a repeated message grow the record.
TEST_F(LoggerTest, OverlongRecordsArriveWhole)
{
	std::string file(200, 'f'), function(200, 'F'), message(150, 'm');
	ASSERT_EQ(logger_set_format(&lgr, "%f:%F:%F:%m|%m|%m%n"), 0);
	logger_set_level(&lgr, LEVEL_INFO);
	ASSERT_EQ(logger_log(&lgr, LEVEL_INFO, file.c_str(), 1, function.c_str(), "%s", message.c_str()), 0);
	ASSERT_EQ(out.texts.size(), 1u);
	EXPECT_EQ(out.texts[0], file + ":" + function + ":" + function + ":" + message + "|" + message + "|" + message + "\n");
	EXPECT_EQ(lgr.buffer_size, lgr.format_reserve + 136 + 136 + 136 + 3 * 150 + 1);

	out.texts.clear();
	ASSERT_EQ(logger_set_format(&lgr, service_pattern), 0);
	ASSERT_EQ(logger_log(&lgr, LEVEL_INFO, "main", 1, function.c_str(), "%s", "x"), 0);
	ASSERT_EQ(out.texts.size(), 1u);
	EXPECT_NE(out.texts[0].find(": " + function + ": x\n"), std::string::npos);
}

TEST_F(LoggerTest, UnformattableMessageFailsEvenWithoutMessageDirective)
{
	ASSERT_EQ(log("%m", LEVEL_INFO, LEVEL_INFO, "abc"), 0);
	uint64_t size = lgr.buffer_size;
	const char *patterns[] = {"%m", "no message"};
	for (const char *pattern : patterns) {
		ASSERT_EQ(logger_set_format(&lgr, pattern), 0);
		EXPECT_EQ(logger_log(&lgr, LEVEL_INFO, "main", 1, "f", "%ls", L"\x100"), -22);
	}
	EXPECT_EQ(out.texts.size(), 1u);
	EXPECT_EQ(lgr.buffer_size, size);
}

TEST_F(LoggerTest, ErrnoSurvivesEveryPath)
{
	struct {
		const char *pattern;
		int threshold, level;
		bool bad_message;
		int result;
	} cases[] = {
		{"%m", LEVEL_INFO, LEVEL_INFO, false, 0},
		{"%m", LEVEL_ERROR, LEVEL_INFO, false, 0},
		{nullptr, LEVEL_INFO, LEVEL_INFO, false, 0},
		{"%m", LEVEL_INFO, LEVEL_INFO, true, -22},
		{"%v", 7, 7, false, -22},
	};
	out.errno_to_leave = EIO;
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << (c.pattern ? c.pattern : "(null)") << " " << c.level);
		ASSERT_EQ(logger_set_format(&lgr, c.pattern), 0);
		logger_set_level(&lgr, c.threshold);
		errno = ENOTTY;
		int result = c.bad_message ? logger_log(&lgr, c.level, "main", 1, "f", "%ls", L"\x100")
					   : logger_log(&lgr, c.level, "main", 1, "f", "x");
		EXPECT_EQ(errno, ENOTTY);
		EXPECT_EQ(result, c.result);
	}
	EXPECT_EQ(out.texts.size(), 1u);
}

TEST_F(LoggerTest, WithoutWriterRecordIsRenderedButGoesNowhere)
{
	logger_set_writer(&lgr, nullptr, &out);
	EXPECT_EQ(log("%m", LEVEL_INFO, LEVEL_INFO, "abc"), 0);
	EXPECT_EQ(lgr.buffer_size, 4u);
	EXPECT_STREQ(lgr.buffer, "abc");
	EXPECT_EQ(log("%v", 7, 7), -22);
	EXPECT_TRUE(out.texts.empty());
}

TEST_F(LoggerTest, WriterRunsUnderTheMutex)
{
	static logger *current;
	static int trylock;
	current = &lgr;
	trylock = 0;
	logger_set_writer(&lgr, [](int, const char *, void *) { trylock = pthread_mutex_trylock(&current->mutex); }, nullptr);
	ASSERT_EQ(log("%m", LEVEL_INFO, LEVEL_INFO), 0);
	EXPECT_EQ(trylock, EBUSY);
	trylock = 0;
	unsigned char byte = 1;
	ASSERT_EQ(logger_dump(&lgr, LEVEL_INFO, "net", 1, "f", &byte, 1, "URL"), 0);
	EXPECT_EQ(trylock, EBUSY);
}

// An error-checking mutex that this thread holds makes every lock fail.
TEST_F(LoggerTest, LockFailureChangesNothingAndIsReturned)
{
	ASSERT_EQ(log("%m", LEVEL_INFO, LEVEL_INFO), 0);
	ASSERT_EQ(pthread_mutex_destroy(&lgr.mutex), 0);
	pthread_mutexattr_t attributes;
	pthread_mutexattr_init(&attributes);
	pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
	ASSERT_EQ(pthread_mutex_init(&lgr.mutex, &attributes), 0);
	pthread_mutexattr_destroy(&attributes);
	ASSERT_EQ(pthread_mutex_lock(&lgr.mutex), 0);

	errno = ENOTTY;
	unsigned char byte = 1;
	EXPECT_EQ(logger_log(&lgr, LEVEL_INFO, "main", 1, "f", "x"), -EDEADLK);
	EXPECT_EQ(logger_dump(&lgr, LEVEL_INFO, "net", 1, "f", &byte, 1, "URL"), -EDEADLK);
	EXPECT_EQ(logger_set_format(&lgr, "%v"), -EDEADLK);
	logger_set_level(&lgr, LEVEL_DUMP);
	logger_set_writer(&lgr, nullptr, nullptr);
	EXPECT_EQ(errno, ENOTTY);
	EXPECT_STREQ(lgr.format, "%m");
	EXPECT_EQ(lgr.threshold, LEVEL_INFO);
	EXPECT_EQ(lgr.writer, capture_writer);
	EXPECT_EQ(out.texts.size(), 1u);
	pthread_mutex_unlock(&lgr.mutex);
}

TEST_F(LoggerTest, ChildRendersItsOwnProcessId)
{
	ASSERT_EQ(log("%P", LEVEL_INFO, LEVEL_INFO), 0);
	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		logger_log(&lgr, LEVEL_INFO, "main", 1, "f", "x");
		const std::string &text = out.texts.back();
		_exit(write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
	}
	close(fds[1]);
	char text[32] = {};
	ssize_t n = read(fds[0], text, sizeof text - 1);
	close(fds[0]);
	int status;
	ASSERT_EQ(waitpid(child, &status, 0), child);
	EXPECT_EQ(status, 0);
	EXPECT_GT(n, 0);
	EXPECT_EQ(std::string(text), std::to_string(child));
	EXPECT_EQ(out.texts[0], std::to_string(getpid()));
}

TEST_F(LoggerTest, ConcurrentRecordsStayWhole)
{
	ASSERT_EQ(logger_set_format(&lgr, "<%T %m>"), 0);
	logger_set_level(&lgr, LEVEL_INFO);
	std::vector<std::thread> threads;
	for (int t = 0; t < 4; t++)
		threads.emplace_back([this, t] {
			std::string message(10 + 40 * t, 'a' + t);
			for (int i = 0; i < 300; i++)
				logger_log(&lgr, LEVEL_INFO, "main", i, "f", "%s", message.c_str());
		});
	for (auto &thread : threads)
		thread.join();
	ASSERT_EQ(out.texts.size(), 1200u);
	std::regex whole("<[0-9a-f]+ (a{10}|b{50}|c{90}|d{130})>");
	for (const auto &text : out.texts)
		ASSERT_TRUE(std::regex_match(text, whole)) << text;
}

TEST(Logger, StderrWriterWritesTextUnchanged)
{
	testing::internal::CaptureStderr();
	stderr_writer(LEVEL_ERROR, "one\ttwo", nullptr);
	stderr_writer(LEVEL_NONE, "%s\n", &errno);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "one\ttwo%s\n");
}

} // namespace

#include "logger/quote.h"

namespace {

TEST(LogQuote, PeerTextStaysOnOneLine)
{
	using namespace std::string_literals;
	const struct {
		std::string in;
		const char *out;
	} cases[] = {
		{"DISPLAY=:0", "DISPLAY=:0"},
		{"", ""},
		{"a\nI: forged", "a\\x0aI: forged"},
		{"cr\r tab\t esc\x1b del\x7f", "cr\\x0d tab\\x09 esc\\x1b del\\x7f"},
		// The backslash too, or a peer could write what looks like a quoted byte.
		{"C:\\x0a", "C:\\x5cx0a"},
		{"nul\0end"s, "nul\\x00end"},
		// Bytes above 0x7f pass as they are: they end no line.
		{"caf\xc3\xa9", "caf\xc3\xa9"},
	};
	for (const auto &test : cases)
		EXPECT_STREQ(log_quote(test.in).c_str(), test.out) << test.out;
	// Cut short, never inside a quoted byte, so that a record stays one atomic write.
	std::string cut = log_quote(std::string(LOG_QUOTE_MAX, 'a')).c_str();
	EXPECT_EQ(cut, std::string(LOG_QUOTE_MAX - 3, 'a') + "...");
	cut = log_quote("a" + std::string(LOG_QUOTE_MAX, '\n')).c_str();
	EXPECT_EQ(cut.size(), 1 + (LOG_QUOTE_MAX - 4) / 4 * 4 + 3);
	EXPECT_TRUE(cut.ends_with("\\x0a..."));
}

} // namespace
