// Arbitrary patterns, levels, names of any length, messages and dump data go
// through the logger. Where the pattern renders the same text on every run,
// the record and the dump must match an independent rendering byte for byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "logger/logger.h"

namespace {

struct delivery {
	int calls = 0;
	int level = 0;
	std::string text;
};

void capture(int level, const char *text, void *data)
{
	auto *d = static_cast<delivery *>(data);
	d->calls++;
	d->level = level;
	d->text = text;
}

void fail(const char *what)
{
	fprintf(stderr, "logger_fuzz: %s\n", what);
	abort();
}

const char *const level_names[] = {"", "SERVICE", "ERROR", "WARNING", "INFO", "DEBUG", "DUMP"};
const char *const level_letters[] = {"", "S", "E", "W", "I", "D", "H"};

struct call_site {
	int level;
	std::string file;
	int line;
	std::string function;
};

enum class rendering { invalid_pattern, unrenderable, clock_dependent, exact };

// Renders the pattern with every %m replaced by `message`; the parts before the
// first and after the last %m come out as head and tail for a dump.
rendering render(const std::string &pattern, const call_site &at, const std::string &message,
		 std::string &out, std::string *head, std::string *tail)
{
	out.clear();
	bool clock = false, bad_level = false, seen_m = false;
	std::string after_last_m;
	for (size_t i = 0; i < pattern.size(); i++) {
		std::string piece;
		if (pattern[i] != '%') {
			piece = pattern[i];
		} else {
			if (++i == pattern.size())
				return rendering::invalid_pattern;
			switch (pattern[i]) {
			case '%': piece = "%"; break;
			case 'F': piece = at.function; break;
			case 'f': piece = at.file; break;
			case 'l': piece = std::to_string(at.line); break;
			case 'n': piece = "\n"; break;
			case 'm':
				if (head && !seen_m)
					*head = out;
				seen_m = true;
				after_last_m.clear();
				out += message;
				continue;
			case 'V':
			case 'v':
				if (at.level < 0 || at.level > 6)
					bad_level = true;
				else
					piece = (pattern[i] == 'V' ? level_names : level_letters)[at.level];
				break;
			case 'D': case 'P': case 'T': case 't':
				clock = true;
				break;
			default:
				return rendering::invalid_pattern;
			}
		}
		out += piece;
		after_last_m += piece;
	}
	if (head && !seen_m)
		*head = out;
	if (tail)
		*tail = seen_m ? after_last_m : "";
	if (bad_level)
		return rendering::unrenderable;
	return clock ? rendering::clock_dependent : rendering::exact;
}

std::string dump_body(const std::string &head, const std::string &tail, const std::string &bytes)
{
	std::string out;
	for (size_t at = 0; at < bytes.size(); at += 16) {
		std::string hex, chars;
		for (size_t k = 0; k < 16 && at + k < bytes.size(); k++) {
			unsigned char c = bytes[at + k];
			char two[3];
			snprintf(two, sizeof two, "%02x", c);
			if (k)
				hex += k == 8 ? "  " : " ";
			hex += two;
			chars += c >= 0x20 && c <= 0x7e ? char(c) : '.';
		}
		char line[128];
		snprintf(line, sizeof line, "%08x  %-48.48s  |%-16.16s|", unsigned(at), hex.c_str(),
			 chars.c_str());
		out += head + line + tail;
	}
	return out;
}

// Strings cross the C interface up to their first NUL.
std::string c_string(FuzzedDataProvider &in, size_t max)
{
	return std::string(in.ConsumeRandomLengthString(max).c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider in(data, size);
	int threshold = in.ConsumeIntegralInRange(-2, 8);
	call_site at;
	at.level = in.ConsumeIntegralInRange(-2, 8);
	at.line = in.ConsumeIntegral<int>();
	std::string pattern = c_string(in, 64);
	at.file = c_string(in, 300);
	at.function = c_string(in, 300);
	std::string message = c_string(in, 600);
	std::string bytes = in.ConsumeRemainingBytesAsString();

	logger lgr;
	delivery got;
	if (logger_init(&lgr) != 0)
		fail("logger_init");
	logger_set_level(&lgr, threshold);
	logger_set_writer(&lgr, capture, &got);

	std::string want, head, tail;
	rendering kind = render(pattern, at, message, want, nullptr, nullptr);
	int r = logger_set_format(&lgr, pattern.c_str());
	if ((r == -EINVAL) != (kind == rendering::invalid_pattern) || (r != 0 && r != -EINVAL))
		fail("pattern accepted or refused wrongly");
	bool produced = r == 0 && at.level <= threshold;

	errno = 4242;
	r = logger_log(&lgr, at.level, at.file.c_str(), at.line, at.function.c_str(), "%s",
		       message.c_str());
	if (errno != 4242)
		fail("logger_log changed errno");
	if (!produced) {
		if (r != 0 || got.calls != 0)
			fail("a record below the threshold or without a pattern was delivered");
	} else if (kind == rendering::unrenderable) {
		if (r != -EINVAL || got.calls != 0)
			fail("a record with an unrenderable level was delivered");
	} else {
		if (r != 0 || got.calls != 1 || got.level != at.level)
			fail("a record was not delivered once");
		if (kind == rendering::exact && got.text != want)
			fail("record text differs");
	}

	got = delivery{};
	std::string label = message.substr(0, 80);
	render(pattern, at, "", want, &head, &tail);
	errno = 4343;
	r = logger_dump(&lgr, at.level, at.file.c_str(), at.line, at.function.c_str(),
			bytes.data(), bytes.size(), "%s", label.c_str());
	if (errno != 4343)
		fail("logger_dump changed errno");
	if (!produced || bytes.empty()) {
		if (r != 0 || got.calls != 0)
			fail("a dump with nothing to do delivered something");
	} else if (kind == rendering::unrenderable) {
		if (r != -EINVAL || got.calls != 0)
			fail("a dump with an unrenderable level was delivered");
	} else {
		if (r != 0 || got.calls != 1)
			fail("a dump was not delivered once");
		if (kind == rendering::exact && got.text != head + label + tail + dump_body(head, tail, bytes))
			fail("dump text differs");
	}

	if (logger_destroy(&lgr) != 0)
		fail("logger_destroy");
	return 0;
}
