// What the logger keeps between records must never show: the local time
// converted once per second, the process id kept across records, the dump
// lines built from tables.
#include "logger/logger.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

// The moment the logger's clock reads, or the real clock while unset.
std::atomic<bool> clock_set{false};
timeval clock_now;

} // namespace

// Stands in for the C library's clock for the whole test program.
extern "C" int gettimeofday(struct timeval *__restrict tv, void *__restrict) noexcept
{
	if (clock_set.load()) {
		*tv = clock_now;
		return 0;
	}
	timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	tv->tv_sec = ts.tv_sec;
	tv->tv_usec = ts.tv_nsec / 1000;
	return 0;
}

namespace {

void capture_writer(int, const char *text, void *data)
{
	static_cast<std::vector<std::string> *>(data)->push_back(text);
}

class CacheTest : public testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(logger_init(&lgr), 0);
		logger_set_level(&lgr, LEVEL_DUMP);
		logger_set_writer(&lgr, capture_writer, &texts);
	}
	void TearDown() override
	{
		clock_set = false;
		EXPECT_EQ(logger_destroy(&lgr), 0);
	}

	std::string log_at(time_t second, suseconds_t usec)
	{
		clock_now = {second, usec};
		clock_set = true;
		texts.clear();
		EXPECT_EQ(logger_log(&lgr, LEVEL_INFO, "main", 1, "f", "x"), 0);
		return texts.empty() ? "" : texts[0];
	}

	logger lgr;
	std::vector<std::string> texts;
};

std::string expected_date(time_t second, suseconds_t usec)
{
	tm local;
	localtime_r(&second, &local);
	char text[64];
	snprintf(text, sizeof text, "%04i.%02i.%02i %02i:%02i:%02i.%03i", local.tm_year + 1900,
		 local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
		 static_cast<int>(usec / 1000));
	return text;
}

// The last second of a local year, so that every field turns over at once.
time_t local_new_year_eve()
{
	tm eve{};
	eve.tm_year = 2026 - 1900;
	eve.tm_mon = 11;
	eve.tm_mday = 31;
	eve.tm_hour = 23;
	eve.tm_min = 59;
	eve.tm_sec = 59;
	eve.tm_isdst = -1;
	return mktime(&eve);
}

TEST_F(CacheTest, DateFollowsTheClockAcrossSeconds)
{
	ASSERT_EQ(logger_set_format(&lgr, "%D"), 0);
	const time_t s = local_new_year_eve();
	struct {
		const char *name;
		time_t second;
		suseconds_t usec;
	} steps[] = {
		{"a second within the last minute", s - 2, 999999},
		{"the next one", s - 1, 0},
		{"last millisecond of the year", s, 999999},
		{"first of the next", s + 1, 0},
		{"same second, later", s + 1, 500000},
		{"clock set back a second", s, 500000},
		{"same millisecond, a day on", s + 86400, 500000},
		{"one microsecond before the next second", s + 86400, 999999},
		{"that second", s + 86401, 999},
	};
	for (const auto &step : steps) {
		SCOPED_TRACE(step.name);
		EXPECT_EQ(log_at(step.second, step.usec), expected_date(step.second, step.usec));
	}
}

// A thread that logged in an earlier second must not show it later, even
// when another thread has already logged in the new second.
TEST_F(CacheTest, EveryThreadSeesTheNewSecond)
{
	ASSERT_EQ(logger_set_format(&lgr, "%D"), 0);
	const time_t s = local_new_year_eve();
	EXPECT_EQ(log_at(s, 250000), expected_date(s, 250000));
	std::string other;
	std::thread([&] { other = log_at(s + 1, 250000); }).join();
	EXPECT_EQ(other, expected_date(s + 1, 250000));
	EXPECT_EQ(log_at(s + 1, 750000), expected_date(s + 1, 750000));
}

// Each generation logs, then forks the next; every process must show its own
// id, also when its parent's id was already kept.
TEST_F(CacheTest, EveryForkedGenerationShowsItsOwnId)
{
	ASSERT_EQ(logger_set_format(&lgr, "%P"), 0);
	ASSERT_EQ(logger_log(&lgr, LEVEL_INFO, "main", 1, "f", "x"), 0);
	ASSERT_EQ(texts.back(), std::to_string(getpid()));
	for (int generations : {1, 3}) {
		SCOPED_TRACE(generations);
		pid_t child = fork();
		ASSERT_GE(child, 0);
		if (child == 0) {
			int failed = 0;
			for (int g = 0; g < generations; g++) {
				texts.clear();
				logger_log(&lgr, LEVEL_INFO, "main", 1, "f", "x");
				if (texts.size() != 1 || texts[0] != std::to_string(getpid()))
					failed = 1;
				if (g + 1 == generations)
					break;
				pid_t next = fork();
				if (next < 0)
					_exit(2);
				if (next > 0) {
					int status;
					_exit(waitpid(next, &status, 0) == next && WIFEXITED(status)
						      ? (failed | WEXITSTATUS(status)) : 2);
				}
			}
			_exit(failed);
		}
		int status;
		ASSERT_EQ(waitpid(child, &status, 0), child);
		ASSERT_TRUE(WIFEXITED(status));
		EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a generation showed another id, 2: fork failed";
	}
	texts.clear();
	ASSERT_EQ(logger_log(&lgr, LEVEL_INFO, "main", 1, "f", "x"), 0);
	EXPECT_EQ(texts.back(), std::to_string(getpid()));
}

// Every byte value against the line that a formatted print would make.
TEST_F(CacheTest, DumpShowsEveryByteValue)
{
	ASSERT_EQ(logger_set_format(&lgr, "%m%n"), 0);
	unsigned char bytes[256 + 7];
	for (size_t i = 0; i < sizeof bytes; i++)
		bytes[i] = static_cast<unsigned char>(i);
	ASSERT_EQ(logger_dump(&lgr, LEVEL_DUMP, "net", 1, "f", bytes, sizeof bytes, "URL"), 0);
	std::string expected = "URL\n";
	for (size_t at = 0; at < sizeof bytes; at += 16) {
		char hex[49] = {}, chars[17] = {};
		size_t column = 0;
		for (size_t k = 0; k < 16 && at + k < sizeof bytes; k++) {
			unsigned char b = bytes[at + k];
			column += snprintf(hex + column, sizeof hex - column, k == 8 ? "  %02x" : k ? " %02x" : "%02x", b);
			chars[k] = b >= 0x20 && b < 0x7f ? static_cast<char>(b) : '.';
		}
		char line[128];
		snprintf(line, sizeof line, "%08zx  %-48s  |%-16s|\n", at, hex, chars);
		expected += line;
	}
	ASSERT_EQ(texts.size(), 1u);
	EXPECT_EQ(texts[0], expected);
}

} // namespace
