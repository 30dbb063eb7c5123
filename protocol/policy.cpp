// The administrator's URL policy: its file, the checks of each URL's scheme
// and host, and the pace of one connection.
#include "protocol/policy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uriparser/Uri.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "common/unique_fd.h"
#include "logger/quote.h"
#include "protocol/process.h"

namespace {

constexpr std::string_view SCHEMES_KEY = "schemes";
constexpr std::string_view HOSTS_KEY = "hosts";
constexpr std::string_view PACE_KEY = "pace";
// Names longer than this are cut short in records and reasons.
constexpr size_t SHOWN_NAME_MAX = 64;

url_policy policy_in_force;
// The refusals of this process's one connection.
record_pace refusals;

__attribute__((format(printf, 4, 5))) void fail(policy_error *error, const char *file,
						 size_t line, const char *format, ...)
{
	int used = snprintf(error->text, sizeof error->text, "%s:%zu: ", file, line);
	if (used < 0 || static_cast<size_t>(used) >= sizeof error->text)
		return;
	va_list args;
	va_start(args, format);
	vsnprintf(error->text + used, sizeof error->text - used, format, args);
	va_end(args);
}

bool is_alpha(unsigned char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_scheme_char(unsigned char c)
{
	return is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

unsigned char lower(unsigned char c)
{
	return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

bool is_blank(char c)
{
	return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text)
{
	while (!text.empty() && is_blank(text.front()))
		text.remove_prefix(1);
	while (!text.empty() && is_blank(text.back()))
		text.remove_suffix(1);
	return text;
}

bool is_scheme(std::string_view name)
{
	if (name.empty() || !is_alpha(name[0]))
		return false;
	for (char c : name)
		if (!is_scheme_char(c))
			return false;
	return true;
}

// Only names that cannot garble a record are repeated back in a reason.
bool showable(std::string_view name)
{
	if (name.empty() || name.size() > SHOWN_NAME_MAX)
		return false;
	for (unsigned char c : name)
		if (c < 0x21 || c > 0x7e)
			return false;
	return true;
}

bool equals_lowered(std::string_view text, std::string_view lowered)
{
	if (text.size() != lowered.size())
		return false;
	for (size_t i = 0; i < text.size(); i++)
		if (lower(text[i]) != static_cast<unsigned char>(lowered[i]))
			return false;
	return true;
}

// The keys of the file, each of which may be given once.
struct seen_keys {
	bool schemes = false;
	bool hosts = false;
	bool pace = false;
};

// The words of a value, separated by blanks.
struct word_reader {
	std::string_view rest;
	bool next(std::string_view *word)
	{
		rest = trim(rest);
		if (rest.empty())
			return false;
		size_t end = 0;
		while (end < rest.size() && !is_blank(rest[end]))
			end++;
		*word = rest.substr(0, end);
		rest.remove_prefix(end);
		return true;
	}
};

void add_once(std::vector<std::string> *list, std::string item)
{
	for (const std::string &known : *list)
		if (known == item)
			return;
	list->push_back(std::move(item));
}

// The scheme lowered as it is compared, or "" when the word is none.
std::string scheme_of(std::string_view name)
{
	if (!is_scheme(name))
		return {};
	std::string lowered(name);
	for (char &c : lowered)
		c = static_cast<char>(lower(c));
	return lowered;
}

// A blank-separated list of a key's value, each word as `normal` writes it,
// each once; false with the reason in *error at the first word that is no
// `what` ("" from normal).
bool parse_word_list(std::string_view value, const char *what, std::string (*normal)(std::string_view),
		     const char *file, size_t number, std::vector<std::string> *out, policy_error *error)
{
	std::vector<std::string> list;
	word_reader words{value};
	std::string_view word;
	while (words.next(&word)) {
		std::string item = normal(word);
		if (item.empty()) {
			if (showable(word))
				fail(error, file, number, "not a %s: %.*s", what, static_cast<int>(word.size()),
				     word.data());
			else
				fail(error, file, number, "not a %s", what);
			return false;
		}
		add_once(&list, std::move(item));
	}
	*out = std::move(list);
	return true;
}

bool is_digit(unsigned char c)
{
	return c >= '0' && c <= '9';
}

bool is_hex_digit(unsigned char c)
{
	return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'f');
}

// A browser reads a host whose last label is a number, decimal or 0x hex, as
// an IPv4 address, however many labels it has: "1.2.3" is 1.2.0.3.
bool ends_in_number(std::string_view name)
{
	size_t dot = name.rfind('.');
	std::string_view last = dot == std::string_view::npos ? name : name.substr(dot + 1);
	if (last.size() >= 2 && last[0] == '0' && lower(last[1]) == 'x') {
		for (unsigned char c : last.substr(2))
			if (!is_hex_digit(c))
				return false;
		return true;
	}
	if (last.empty())
		return false;
	for (unsigned char c : last)
		if (!is_digit(c))
			return false;
	return true;
}

// Labels of letters, digits, "-" and "_", as DNS bounds them.
bool is_host_name(std::string_view name)
{
	if (name.empty() || name.size() > 253 || ends_in_number(name))
		return false;
	size_t label = 0;
	for (unsigned char c : name) {
		if (c == '.') {
			if (label == 0)
				return false;
			label = 0;
			continue;
		}
		if (!is_alpha(c) && !is_digit(c) && c != '-' && c != '_')
			return false;
		if (++label > 63)
			return false;
	}
	return label != 0;
}

// The text of an IPv6 address as every pattern and host is compared: inet_ntop's.
bool canonical_ipv6(std::string_view text, char (*out)[INET6_ADDRSTRLEN])
{
	char copy[INET6_ADDRSTRLEN + 16];
	if (text.size() >= sizeof copy)
		return false;
	memcpy(copy, text.data(), text.size());
	copy[text.size()] = '\0';
	unsigned char address[16];
	return inet_pton(AF_INET6, copy, address) == 1 &&
	       inet_ntop(AF_INET6, address, *out, sizeof *out) != nullptr;
}

bool is_ipv4(std::string_view text)
{
	char copy[INET_ADDRSTRLEN];
	if (text.size() >= sizeof copy)
		return false;
	memcpy(copy, text.data(), text.size());
	copy[text.size()] = '\0';
	unsigned char address[4];
	// Dotted decimal only, without leading zeros: the one form both readings share.
	return inet_pton(AF_INET, copy, address) == 1;
}

// The pattern as it is compared, or empty when it is not one.
std::string host_pattern(std::string_view word)
{
	if (word.size() >= 2 && word.front() == '[' && word.back() == ']') {
		char address[INET6_ADDRSTRLEN];
		if (!canonical_ipv6(word.substr(1, word.size() - 2), &address))
			return {};
		return "[" + std::string(address) + "]";
	}
	bool below = word.starts_with("*.");
	std::string_view name = below ? word.substr(2) : word;
	if (name.ends_with('.'))
		name.remove_suffix(1);
	if (!below && is_ipv4(name))
		return std::string(name);
	if (!is_host_name(name))
		return {};
	std::string pattern(below ? "*." : "");
	for (char c : name)
		pattern += static_cast<char>(lower(c));
	return pattern;
}

// A positive decimal number up to `largest`, without sign or blanks.
bool parse_bounded(std::string_view text, unsigned largest, unsigned *out)
{
	if (text.empty() || text.size() > 9)
		return false;
	unsigned value = 0;
	for (unsigned char c : text) {
		if (!is_digit(c))
			return false;
		value = value * 10 + (c - '0');
	}
	if (value < 1 || value > largest)
		return false;
	*out = value;
	return true;
}

bool parse_pace(std::string_view value, const char *file, size_t number, url_policy *parsed,
		policy_error *error)
{
	size_t slash = value.find('/');
	unsigned count = 0;
	unsigned seconds = 0;
	if (slash == std::string_view::npos || !parse_bounded(value.substr(0, slash), PACE_MAX_COUNT, &count) ||
	    !parse_bounded(value.substr(slash + 1), PACE_MAX_SECONDS, &seconds)) {
		fail(error, file, number, "pace is not N/S with N from 1 to %u and S from 1 to %u",
		     PACE_MAX_COUNT, PACE_MAX_SECONDS);
		return false;
	}
	parsed->pace_count = count;
	parsed->pace_seconds = seconds;
	return true;
}

// One line of the file; false with *error filled in when it is not acceptable.
bool parse_line(std::string_view line, const char *file, size_t number, url_policy *parsed,
		seen_keys *seen, policy_error *error)
{
	if (line.find('\0') != std::string_view::npos) {
		fail(error, file, number, "NUL byte in line");
		return false;
	}
	line = trim(line);
	if (line.empty() || line[0] == '#')
		return true;
	if (line[0] == '[') {
		fail(error, file, number, "section headers are not allowed");
		return false;
	}

	size_t equals = line.find('=');
	std::string_view key = trim(line.substr(0, equals));
	if (key.find(':') != std::string_view::npos) {
		fail(error, file, number, "expected '=' after the key, not ':'");
		return false;
	}
	if (equals == std::string_view::npos) {
		fail(error, file, number, "expected key = value");
		return false;
	}
	if (key.empty()) {
		fail(error, file, number, "missing key before '='");
		return false;
	}
	bool *given = key == SCHEMES_KEY ? &seen->schemes
		    : key == HOSTS_KEY	 ? &seen->hosts
		    : key == PACE_KEY	 ? &seen->pace
					 : nullptr;
	if (!given) {
		if (showable(key))
			fail(error, file, number, "unknown key %.*s", static_cast<int>(key.size()), key.data());
		else
			fail(error, file, number, "unknown key");
		return false;
	}
	if (*given) {
		fail(error, file, number, "key %.*s given twice", static_cast<int>(key.size()), key.data());
		return false;
	}
	*given = true;

	std::string_view value = trim(line.substr(equals + 1));
	if (key == SCHEMES_KEY) {
		parsed->every_scheme = false;
		return parse_word_list(value, "scheme", scheme_of, file, number, &parsed->schemes, error);
	}
	if (key == HOSTS_KEY) {
		parsed->every_host = false;
		return parse_word_list(value, "host pattern", host_pattern, file, number, &parsed->hosts,
				       error);
	}
	return parse_pace(value, file, number, parsed, error);
}

} // namespace

int parse_policy(std::string_view text, const char *file, url_policy *out, policy_error *error)
{
	try {
		url_policy parsed;
		seen_keys seen;
		size_t number = 0;
		while (!text.empty()) {
			number++;
			size_t end = text.find('\n');
			std::string_view line = text.substr(0, end);
			text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
			// Saved by an editor that ends lines in CR LF.
			if (!line.empty() && line.back() == '\r')
				line.remove_suffix(1);
			if (!parse_line(line, file, number, &parsed, &seen, error))
				return -1;
		}
		*out = std::move(parsed);
		return 0;
	} catch (const std::bad_alloc &) {
		fail(error, file, 0, "out of memory");
		return -ENOMEM;
	}
}

int load_policy(const char *path, url_policy *out, policy_error *error)
{
	// Non-blocking, so that a FIFO put in the file's place cannot hold up the open.
	unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
	if (fd.get() == -1) {
		int err = errno;
		struct stat link;
		// A link whose file is gone is a broken policy, not an absent one.
		if (err == ENOENT && lstat(path, &link) == 0) {
			fail(error, path, 0, "symbolic link to a missing file");
			return -1;
		}
		fail(error, path, 0, "%s", strerror(err));
		return -err;
	}
	struct stat st;
	if (fstat(fd.get(), &st) != 0) {
		int err = errno;
		fail(error, path, 0, "%s", strerror(err));
		return -err;
	}
	// Judged on what was opened, so a symbolic link is followed to a file that passes.
	if (!S_ISREG(st.st_mode)) {
		fail(error, path, 0, "not a regular file");
		return -1;
	}
	if (st.st_uid != 0) {
		fail(error, path, 0, "not owned by root");
		return -1;
	}
	if (st.st_mode & (S_IWGRP | S_IWOTH)) {
		fail(error, path, 0, "writable by group or others");
		return -1;
	}
	if (st.st_size > static_cast<off_t>(POLICY_MAX_SIZE)) {
		fail(error, path, 0, "larger than %zu bytes", POLICY_MAX_SIZE);
		return -1;
	}

	char text[POLICY_MAX_SIZE + 1];
	size_t size = 0;
	// One byte more than allowed tells a file that grew since fstat.
	while (size < sizeof text) {
		ssize_t n = read(fd.get(), text + size, sizeof text - size);
		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1) {
			int err = errno;
			fail(error, path, 0, "%s", strerror(err));
			return -err;
		}
		if (n == 0)
			break;
		size += static_cast<size_t>(n);
	}
	if (size > POLICY_MAX_SIZE) {
		fail(error, path, 0, "larger than %zu bytes", POLICY_MAX_SIZE);
		return -1;
	}
	return parse_policy(std::string_view(text, size), path, out, error);
}

std::string_view url_scheme(const unsigned char *url, size_t length)
{
	// The opener gets a C string: nothing after a NUL reaches it.
	const void *nul = memchr(url, '\0', length);
	if (nul)
		length = static_cast<size_t>(static_cast<const unsigned char *>(nul) - url);
	if (length == 0 || !is_alpha(url[0]))
		return {};
	size_t end = 1;
	while (end < length && is_scheme_char(url[end]))
		end++;
	if (end == length || url[end] != ':')
		return {};
	return {reinterpret_cast<const char *>(url), end};
}

namespace {

// The schemes whose URLs a browser reads by the WHATWG rules, authority first.
constexpr std::string_view HOST_SCHEMES[] = {"http", "https", "ws", "wss", "ftp"};

// A URL read by the RFC 3986 parser; its parts point into the text it read.
class parsed_uri {
public:
	explicit parsed_uri(std::string_view text)
	{
		ok_ = uriParseSingleUriExA(&uri_, text.data(), text.data() + text.size(), nullptr) == URI_SUCCESS;
	}
	parsed_uri(const parsed_uri &) = delete;
	parsed_uri &operator=(const parsed_uri &) = delete;
	// A failed parse has freed what it made.
	~parsed_uri()
	{
		if (ok_)
			uriFreeUriMembersA(&uri_);
	}

	bool ok() const { return ok_; }
	const UriUriA &get() const { return uri_; }

private:
	UriUriA uri_ {};
	bool ok_ = false;
};

bool has_control(const unsigned char *url, size_t length)
{
	for (size_t i = 0; i < length; i++)
		if (url[i] < 0x20 || url[i] == 0x7f)
			return true;
	return false;
}

bool listed(const std::vector<std::string> &list, std::string_view name)
{
	for (const std::string &item : list)
		if (equals_lowered(name, item))
			return true;
	return false;
}

bool host_listed(const url_policy &policy, std::string_view host, bool ip_literal)
{
	if (ip_literal) {
		char address[INET6_ADDRSTRLEN];
		if (!canonical_ipv6(host, &address))
			return false;
		std::string_view canonical(address);
		for (const std::string &pattern : policy.hosts)
			if (pattern.size() == canonical.size() + 2 && pattern[0] == '[' &&
			    std::string_view(pattern).substr(1, canonical.size()) == canonical)
				return true;
		return false;
	}
	if (host.ends_with('.'))
		host.remove_suffix(1);
	for (const std::string &pattern : policy.hosts) {
		if (pattern.starts_with("*.")) {
			// ".example.org", after at least one byte of the host's own.
			std::string_view suffix = std::string_view(pattern).substr(1);
			if (host.size() > suffix.size() &&
			    equals_lowered(host.substr(host.size() - suffix.size()), suffix))
				return true;
		} else if (equals_lowered(host, pattern)) {
			return true;
		}
	}
	return false;
}

// The host rule for a URL of the policy's schemes. A browser reads these URLs by
// the WHATWG rules, this parser by RFC 3986: whatever the two could read as
// different hosts is refused, so that the host judged is the host opened.
url_verdict judge_host(const url_policy &policy, const unsigned char *url, size_t length,
		       std::string_view *host)
{
	std::string_view text(reinterpret_cast<const char *>(url), length);
	// A browser drops leading blanks before it reads the scheme.
	size_t start = std::min(text.find_first_not_of(' '), text.size());
	std::string_view scheme = url_scheme(url + start, length - start);
	bool judged = false;
	for (std::string_view name : HOST_SCHEMES)
		judged = judged || equals_lowered(scheme, name);
	if (!judged)
		return url_verdict::opens;
	// A browser takes a backslash for a slash and drops blanks.
	if (text.find_first_of(" \\") != std::string_view::npos)
		return url_verdict::unreadable;
	parsed_uri uri(text);
	if (!uri.ok())
		return url_verdict::unreadable;
	// No host without "//": "https:evil.example" and "https:/evil.example" name
	// one to a browser only.
	const UriTextRangeA &range = uri.get().hostText;
	if (!range.first || range.first == range.afterLast)
		return url_verdict::unreadable;
	std::string_view found(range.first, static_cast<size_t>(range.afterLast - range.first));
	// A browser decodes a host's escapes and maps its non-ASCII letters.
	for (unsigned char c : found)
		if (c == '%' || c >= 0x80)
			return url_verdict::unreadable;
	bool ip_literal = uri.get().hostData.ip6 || uri.get().hostData.ipFuture.first;
	if (host_listed(policy, found, ip_literal))
		return url_verdict::opens;
	if (host)
		*host = ip_literal ? std::string_view(found.data() - 1, found.size() + 2) : found;
	return url_verdict::refused_host;
}

// A name lowered and cut short for a record.
struct shown_name {
	char text[SHOWN_NAME_MAX + sizeof "..."];

	explicit shown_name(std::string_view name)
	{
		size_t n = std::min(name.size(), SHOWN_NAME_MAX);
		for (size_t i = 0; i < n; i++)
			text[i] = static_cast<char>(lower(name[i]));
		strcpy(text + n, name.size() > SHOWN_NAME_MAX ? "..." : "");
	}
};


} // namespace

url_verdict judge_url(const url_policy &policy, const unsigned char *url, size_t length,
		      std::string_view *host)
{
	// xdg-open takes a URL with a newline in it for a file name.
	if ((!policy.every_scheme || !policy.every_host) && has_control(url, length))
		return url_verdict::unreadable;
	if (!policy.every_scheme) {
		std::string_view scheme = url_scheme(url, length);
		if (!listed(policy.schemes, scheme.empty() ? "file" : scheme))
			return url_verdict::refused_scheme;
	}
	if (policy.every_host)
		return url_verdict::opens;
	return judge_host(policy, url, length, host);
}

bool policy_permits(const url_policy &policy, const unsigned char *url, size_t length)
{
	return judge_url(policy, url, length) == url_verdict::opens;
}

void describe_policy(const url_policy &policy, char *text, size_t size)
{
	int used = policy.every_scheme ? snprintf(text, size, "every scheme")
				       : snprintf(text, size, "%zu schemes", policy.schemes.size());
	if (used >= 0 && static_cast<size_t>(used) < size && !policy.every_host)
		used += snprintf(text + used, size - used, ", %zu hosts", policy.hosts.size());
	if (used >= 0 && static_cast<size_t>(used) < size && policy.pace_count != 0)
		snprintf(text + used, size - used, ", pace %u/%u", policy.pace_count, policy.pace_seconds);
}

const url_policy &current_policy()
{
	return policy_in_force;
}

void set_policy(url_policy policy)
{
	policy_in_force = std::move(policy);
}

bool policy_allows(const unsigned char *url, size_t length)
{
	std::string_view host;
	unsigned uid = static_cast<unsigned>(getuid());
	url_verdict verdict = judge_url(policy_in_force, url, length, &host);
	if (verdict == url_verdict::opens)
		return true;
	if (!record_due(&refusals))
		return false;
	switch (verdict) {
	case url_verdict::opens:
		return true;
	case url_verdict::refused_scheme: {
		std::string_view scheme = url_scheme(url, length);
		// Only the scheme, lowered as it was compared; an endless one is cut short.
		shown_name shown(scheme.empty() ? "file" : scheme);
		NET_LOG(LEVEL_WARNING, "refused scheme %s for uid %u", shown.text, uid);
		break;
	}
	case url_verdict::refused_host: {
		// Only the host; the parser let it through, but it is still the peer's text.
		shown_name shown(host);
		log_quote quoted(shown.text);
		NET_LOG(LEVEL_WARNING, "refused host %s for uid %u", quoted.c_str(), uid);
		break;
	}
	case url_verdict::unreadable:
		NET_LOG(LEVEL_WARNING, "refused unreadable URL for uid %u", uid);
		break;
	}
	return false;
}

bool pace_allows(url_pace *pace, int64_t now)
{
	const url_policy &policy = policy_in_force;
	if (policy.pace_count == 0 || pace->count < policy.pace_count)
		return true;
	// With the ring full, the next slot holds the N-th URL opened before this one.
	if (now - pace->opened[pace->next] >= policy.pace_seconds * NS_PER_S)
		return true;
	if (record_due(&pace->skips, now))
		NET_LOG(LEVEL_WARNING, "URL skipped: more than %u in %u s", policy.pace_count,
			policy.pace_seconds);
	return false;
}

void pace_opened(url_pace *pace, int64_t now)
{
	unsigned count = policy_in_force.pace_count;
	if (count == 0)
		return;
	pace->opened[pace->next] = now;
	pace->next = (pace->next + 1) % count;
	pace->count = std::min(pace->count + 1, count);
}

void policy_finish(url_pace *pace)
{
	if (unsigned long refused = take_unrecorded(&refusals))
		NET_LOG(LEVEL_WARNING, "refused %lu more URLs", refused);
	if (unsigned long skipped = take_unrecorded(&pace->skips))
		NET_LOG(LEVEL_WARNING, "skipped %lu more URLs", skipped);
	*pace = {};
}
