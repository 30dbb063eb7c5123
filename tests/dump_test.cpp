#include "logger/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

// Lets the huge-allocation case see malloc fail instead of a sanitizer abort.
extern "C" const char *__asan_default_options()
{
	return "allocator_may_return_null=1";
}

namespace {

struct capture {
	std::vector<std::string> texts;
};

void capture_writer(int, const char *text, void *data)
{
	static_cast<capture *>(data)->texts.push_back(text);
}

std::vector<std::string> split_lines(const std::string &text)
{
	std::vector<std::string> lines;
	size_t start = 0;
	for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
		lines.push_back(text.substr(start, end - start));
	EXPECT_EQ(start, text.size()) << "text does not end in a line feed";
	return lines;
}

// The part of a dump line between head and tail.
std::string dump_line(const char *offset, const std::string &hex, const std::string &chars)
{
	return offset + std::string("  ") + hex + std::string(48 - hex.size(), ' ') + "  |" +
	       chars + std::string(16 - chars.size(), ' ') + "|";
}

class DumpTest : public testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(logger_init(&lgr), 0);
		ASSERT_EQ(logger_set_format(&lgr, "%m%n"), 0);
		logger_set_level(&lgr, LEVEL_DUMP);
		logger_set_writer(&lgr, capture_writer, &out);
	}
	void TearDown() override { EXPECT_EQ(logger_destroy(&lgr), 0); }

	int dump(const void *data, size_t length, int level = LEVEL_DUMP)
	{
		return logger_dump(&lgr, level, "net", 7, "received_data", data, length, "%s", "URL");
	}

	logger lgr;
	capture out;
};

TEST_F(DumpTest, ServicePatternExamples)
{
	const unsigned char twenty[] = "ABCDEFGHIJKLMNOP\x00\x0a\x7f\x20";
	struct {
		const char *data;
		size_t length, size;
		std::vector<std::string> lines;
	} cases[] = {
		{"abc", 3, 181, {"URL", dump_line("00000000", "61 62 63", "abc")}},
		{reinterpret_cast<const char *>(twenty), 20, 309,
		 {"URL", "00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|",
		  "00000010  00 0a 7f 20                                       |...             |"}},
	};
	ASSERT_EQ(logger_set_format(&lgr, "%v: %D: %P: %F: %m%n"), 0);
	std::regex head_re(R"(H: \d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.\d{3}: )" +
			   std::to_string(getpid()) + ": received_data: ");
	for (const auto &c : cases) {
		SCOPED_TRACE(c.size);
		out.texts.clear();
		ASSERT_EQ(dump(c.data, c.length), 0);
		ASSERT_EQ(out.texts.size(), 1u);
		std::vector<std::string> lines = split_lines(out.texts[0]);
		ASSERT_EQ(lines.size(), c.lines.size());
		size_t head = lines[0].size() - 3;
		ASSERT_TRUE(std::regex_match(lines[0].substr(0, head), head_re)) << lines[0];
		EXPECT_EQ(out.texts[0].size(), c.size + c.lines.size() * (head - 49));
		for (size_t i = 0; i < lines.size(); i++) {
			EXPECT_EQ(lines[i].substr(0, head), lines[0].substr(0, head));
			EXPECT_EQ(lines[i].substr(head), c.lines[i]);
		}
	}
}

TEST_F(DumpTest, OneLinePerSixteenBytes)
{
	unsigned char data[40];
	for (size_t i = 0; i < sizeof data; i++)
		data[i] = 'a' + i;
	struct {
		size_t length;
		std::vector<std::string> lines;
	} cases[] = {
		{15, {dump_line("00000000", "61 62 63 64 65 66 67 68  69 6a 6b 6c 6d 6e 6f", "abcdefghijklmno")}},
		{16, {dump_line("00000000", "61 62 63 64 65 66 67 68  69 6a 6b 6c 6d 6e 6f 70", "abcdefghijklmnop")}},
		{17, {dump_line("00000000", "61 62 63 64 65 66 67 68  69 6a 6b 6c 6d 6e 6f 70", "abcdefghijklmnop"),
		      dump_line("00000010", "71", "q")}},
		{33, {dump_line("00000000", "61 62 63 64 65 66 67 68  69 6a 6b 6c 6d 6e 6f 70", "abcdefghijklmnop"),
		      dump_line("00000010", "71 72 73 74 75 76 77 78  79 7a 7b 7c 7d 7e 7f 80", "qrstuvwxyz{|}~.."),
		      dump_line("00000020", "81", ".")}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.length);
		out.texts.clear();
		ASSERT_EQ(dump(data, c.length), 0);
		ASSERT_EQ(out.texts.size(), 1u);
		std::vector<std::string> lines = split_lines(out.texts[0]);
		ASSERT_EQ(lines.size(), c.lines.size() + 1);
		EXPECT_EQ(lines[0], "URL");
		for (size_t i = 0; i < c.lines.size(); i++) {
			EXPECT_EQ(lines[i + 1].size(), 78u);
			EXPECT_EQ(lines[i + 1], c.lines[i]);
		}
	}
}

// Large dumps take their output block from a mapping of its own; every line
// must come out as from the heap, the offsets counting on past 2^20 lines.
TEST_F(DumpTest, LargeDumpIsWholeAndInOrder)
{
	const size_t length = 8u << 20;
	std::vector<unsigned char> data(length);
	for (size_t i = 0; i < length; i++)
		data[i] = static_cast<unsigned char>(i * 7 + i / 16);
	ASSERT_EQ(dump(data.data(), length), 0);
	ASSERT_EQ(out.texts.size(), 1u);
	const std::string &text = out.texts[0];
	const size_t line_size = 79;
	ASSERT_EQ(text.size(), 4 + length / 16 * line_size);
	for (size_t line : {size_t(0), size_t(1), length / 32, length / 16 - 1}) {
		SCOPED_TRACE(line);
		char offset[9], hex[48], chars[17];
		snprintf(offset, sizeof offset, "%08zx", line * 16);
		std::string h;
		for (size_t k = 0; k < 16; k++) {
			unsigned char b = data[line * 16 + k];
			snprintf(hex, sizeof hex, "%s%02x", k == 0 ? "" : k == 8 ? "  " : " ", b);
			h += hex;
			chars[k] = b >= 0x20 && b <= 0x7e ? static_cast<char>(b) : '.';
		}
		chars[16] = '\0';
		EXPECT_EQ(text.substr(4 + line * line_size, line_size), dump_line(offset, h, chars) + "\n");
	}
}

TEST_F(DumpTest, CharacterColumnShowsOnlyPrintableAscii)
{
	struct {
		unsigned char byte;
		char shown;
	} cases[] = {
		{0x20, ' '}, {0x21, '!'}, {0x41, 'A'}, {0x7e, '~'}, {0x00, '.'}, {0x0a, '.'},
		{0x1f, '.'}, {0x7f, '.'}, {0x80, '.'}, {0xa0, '.'}, {0xff, '.'},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(static_cast<int>(c.byte));
		out.texts.clear();
		ASSERT_EQ(dump(&c.byte, 1), 0);
		ASSERT_EQ(out.texts.size(), 1u);
		char hex[3];
		snprintf(hex, sizeof hex, "%02x", c.byte);
		EXPECT_EQ(out.texts[0], "URL\n" + dump_line("00000000", hex, std::string(1, c.shown)) + "\n");
	}
}

TEST_F(DumpTest, PatternFramesEveryLine)
{
	std::string line = dump_line("00000000", "61 62 63", "abc");
	struct {
		const char *pattern;
		std::string text;
	} cases[] = {
		{"%m", "URL" + line},
		{"[%v]%n", "[H]\nURL[H]\n" + line},
		{"<%v>%m--%m;%n", "<H>URL;\n<H>" + line + ";\n"},
		{"%f:%l %% %m", "net:7 % URLnet:7 % " + line},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.pattern);
		out.texts.clear();
		ASSERT_EQ(logger_set_format(&lgr, c.pattern), 0);
		ASSERT_EQ(dump("abc", 3), 0);
		ASSERT_EQ(out.texts.size(), 1u);
		EXPECT_EQ(out.texts[0], c.text);
	}
}

// Names past their 64-byte reserve and several %m grow both blocks.
TEST_F(DumpTest, OverlongHeadAndTailArriveWhole)
{
	std::string file(200, 'f'), function(200, 'F');
	ASSERT_EQ(logger_set_format(&lgr, "%F|%f|%m|%m|%m|%F%n"), 0);
	unsigned char data[40] = {};
	ASSERT_EQ(logger_dump(&lgr, LEVEL_DUMP, file.c_str(), 1, function.c_str(), data, sizeof data, "URL"), 0);
	ASSERT_EQ(out.texts.size(), 1u);
	std::vector<std::string> lines = split_lines(out.texts[0]);
	ASSERT_EQ(lines.size(), 4u);
	std::string head = function + "|" + file + "|", tail = "|" + function;
	EXPECT_EQ(lines[0], head + "URL" + tail);
	for (size_t i = 1; i < lines.size(); i++) {
		ASSERT_EQ(lines[i].size(), head.size() + 78 + tail.size());
		EXPECT_EQ(lines[i].substr(0, head.size()), head);
		EXPECT_EQ(lines[i].substr(head.size() + 78), tail);
	}
}

TEST_F(DumpTest, NothingToDo)
{
	struct {
		const char *name;
		const char *pattern;
		bool writer;
		const void *data;
		size_t length;
		int level;
	} cases[] = {
		{"empty", "%m%n", true, "abc", 0, LEVEL_DUMP},
		{"null data", "%m%n", true, nullptr, 3, LEVEL_DUMP},
		{"above threshold", "%m%n", true, "abc", 3, 7},
		{"no pattern", nullptr, true, "abc", 3, LEVEL_DUMP},
		{"no writer", "%m%n", false, "abc", 3, LEVEL_DUMP},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ASSERT_EQ(logger_set_format(&lgr, c.pattern), 0);
		logger_set_writer(&lgr, c.writer ? capture_writer : nullptr, &out);
		// The label cannot be formatted, which only formatting would notice.
		EXPECT_EQ(logger_dump(&lgr, c.level, "net", 1, "f", c.data, c.length, "%ls", L"\x100"), 0);
	}
	EXPECT_TRUE(out.texts.empty());
}

// The bogus data pointer is never read: every failure comes before the bytes.
TEST_F(DumpTest, FailuresDeliverNothingAndKeepErrno)
{
	const void *unreadable = reinterpret_cast<const void *>(16);
	struct {
		const char *name, *pattern;
		int level;
		bool bad_label;
		const void *data;
		size_t length;
		int result;
	} cases[] = {
		{"level without letter", "%v%m%n", 7, false, "abc", 3, -22},
		{"level without name", "%V%m%n", -1, false, "abc", 3, -22},
		{"label", "%m%n", LEVEL_DUMP, true, "abc", 3, -22},
		{"block size overflows", "%m%n", LEVEL_DUMP, false, unreadable, SIZE_MAX, -75},
		{"block size overflows without reserve", "%m", LEVEL_DUMP, false, unreadable, SIZE_MAX, -75},
		{"block too large", "%m%n", LEVEL_DUMP, false, unreadable, SIZE_MAX / 256, -12},
	};
	logger_set_level(&lgr, 7);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ASSERT_EQ(logger_set_format(&lgr, c.pattern), 0);
		errno = ENOTTY;
		int result = c.bad_label ? logger_dump(&lgr, c.level, "net", 1, "f", c.data, c.length, "%ls", L"\x100")
					 : logger_dump(&lgr, c.level, "net", 1, "f", c.data, c.length, "URL");
		EXPECT_EQ(result, c.result);
		EXPECT_EQ(errno, ENOTTY);
	}
	EXPECT_TRUE(out.texts.empty());
}

} // namespace
