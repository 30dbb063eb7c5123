// The administrator's URL policy: its file, and the check of each URL's scheme.
#include "protocol/policy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "common/unique_fd.h"
#include "protocol/process.h"

namespace {

constexpr std::string_view SCHEMES_KEY = "schemes";
// Names longer than this are cut short in records and reasons.
constexpr size_t SHOWN_NAME_MAX = 64;

url_policy policy_in_force;

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

bool same_scheme(std::string_view scheme, std::string_view lowered)
{
	if (scheme.size() != lowered.size())
		return false;
	for (size_t i = 0; i < scheme.size(); i++)
		if (lower(scheme[i]) != static_cast<unsigned char>(lowered[i]))
			return false;
	return true;
}

// One line of the file; false with *error filled in when it is not acceptable.
bool parse_line(std::string_view line, const char *file, size_t number, url_policy *parsed,
		bool *seen_schemes, policy_error *error)
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
	if (key != SCHEMES_KEY) {
		if (showable(key))
			fail(error, file, number, "unknown key %.*s", static_cast<int>(key.size()), key.data());
		else
			fail(error, file, number, "unknown key");
		return false;
	}
	if (*seen_schemes) {
		fail(error, file, number, "key schemes given twice");
		return false;
	}
	*seen_schemes = true;

	std::vector<std::string> schemes;
	std::string_view rest = trim(line.substr(equals + 1));
	while (!rest.empty()) {
		size_t end = 0;
		while (end < rest.size() && !is_blank(rest[end]))
			end++;
		std::string_view name = rest.substr(0, end);
		rest = trim(rest.substr(end));
		if (!is_scheme(name)) {
			if (showable(name))
				fail(error, file, number, "not a scheme: %.*s",
				     static_cast<int>(name.size()), name.data());
			else
				fail(error, file, number, "not a scheme");
			return false;
		}
		std::string lowered(name);
		for (char &c : lowered)
			c = static_cast<char>(lower(c));
		bool known = false;
		for (const std::string &scheme : schemes)
			known = known || scheme == lowered;
		if (!known)
			schemes.push_back(std::move(lowered));
	}
	parsed->every_scheme = false;
	parsed->schemes = std::move(schemes);
	return true;
}

} // namespace

int parse_policy(std::string_view text, const char *file, url_policy *out, policy_error *error)
{
	try {
		url_policy parsed;
		bool seen_schemes = false;
		size_t number = 0;
		while (!text.empty()) {
			number++;
			size_t end = text.find('\n');
			std::string_view line = text.substr(0, end);
			text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
			// Saved by an editor that ends lines in CR LF.
			if (!line.empty() && line.back() == '\r')
				line.remove_suffix(1);
			if (!parse_line(line, file, number, &parsed, &seen_schemes, error))
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

bool policy_permits(const url_policy &policy, const unsigned char *url, size_t length)
{
	if (policy.every_scheme)
		return true;
	std::string_view scheme = url_scheme(url, length);
	if (scheme.empty())
		scheme = "file";
	for (const std::string &allowed : policy.schemes)
		if (same_scheme(scheme, allowed))
			return true;
	return false;
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
	if (policy_permits(policy_in_force, url, length))
		return true;
	std::string_view scheme = url_scheme(url, length);
	if (scheme.empty())
		scheme = "file";
	// Only the scheme, lowered as it was compared; an endless one is cut short.
	char shown[SHOWN_NAME_MAX + sizeof "..."];
	size_t n = scheme.size() < SHOWN_NAME_MAX ? scheme.size() : SHOWN_NAME_MAX;
	for (size_t i = 0; i < n; i++)
		shown[i] = static_cast<char>(lower(scheme[i]));
	strcpy(shown + n, scheme.size() > SHOWN_NAME_MAX ? "..." : "");
	NET_LOG(LEVEL_WARNING, "refused scheme %s for uid %u", shown, static_cast<unsigned>(getuid()));
	return false;
}
