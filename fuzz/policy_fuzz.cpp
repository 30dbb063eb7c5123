// Arbitrary policy files through parse_policy, and arbitrary URLs through the
// policy it gives: what is accepted must be well formed and read back the same;
// without hosts a URL must open exactly when a plain model of its scheme says
// so, and with hosts a URL of the browsers' special schemes may open only when
// a plain browser-style reading of it finds a listed host.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/policy.h"
#include "protocol/process.h"

event_base *ev_base;
logger *plgr;

namespace {

void fail(const char *what)
{
	fprintf(stderr, "policy_fuzz: %s\n", what);
	abort();
}

bool lower_scheme(const std::string &name)
{
	if (name.empty() || name[0] < 'a' || name[0] > 'z')
		return false;
	for (char c : name)
		if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))
			return false;
	return true;
}

std::string lowered(std::string_view text)
{
	std::string out(text);
	for (char &c : out)
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
	return out;
}

// The scheme as the opener sees the URL, lowered; "file" where there is none.
std::string model_scheme(std::string_view url)
{
	url = url.substr(0, url.find('\0'));
	size_t colon = url.find(':');
	std::string scheme = lowered(url.substr(0, colon == std::string_view::npos ? 0 : colon));
	return lower_scheme(scheme) ? scheme : "file";
}

bool has_control(std::string_view url)
{
	for (unsigned char c : url)
		if (c < 0x20 || c == 0x7f)
			return true;
	return false;
}

int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	c = static_cast<char>(c | 0x20);
	return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The host a browser takes from a URL of http, https, ws, wss or ftp, read
// plainly by its rules; nothing for a URL of another scheme.
std::optional<std::string> browser_host(std::string_view url)
{
	while (!url.empty() && static_cast<unsigned char>(url.front()) <= 0x20)
		url.remove_prefix(1);
	while (!url.empty() && static_cast<unsigned char>(url.back()) <= 0x20)
		url.remove_suffix(1);
	std::string text;
	for (char c : url)
		if (c != '\t' && c != '\n' && c != '\r')
			text += c;
	size_t colon = text.find(':');
	if (colon == std::string::npos)
		return std::nullopt;
	std::string scheme = lowered(text.substr(0, colon));
	if (scheme != "http" && scheme != "https" && scheme != "ws" && scheme != "wss" && scheme != "ftp")
		return std::nullopt;
	// Any slashes, either way round, then the authority up to the path, query or fragment.
	size_t start = text.find_first_not_of("/\\", colon + 1);
	std::string authority = start == std::string::npos ? "" : text.substr(start);
	authority = authority.substr(0, authority.find_first_of("/\\?#"));
	size_t at = authority.rfind('@');
	std::string host = at == std::string::npos ? authority : authority.substr(at + 1);
	if (!host.empty() && host[0] == '[')
		host = host.substr(0, host.find(']') + 1);
	else
		host = host.substr(0, host.find(':'));
	std::string decoded;
	for (size_t i = 0; i < host.size(); i++) {
		if (host[i] == '%' && i + 2 < host.size() && hex_value(host[i + 1]) >= 0 &&
		    hex_value(host[i + 2]) >= 0) {
			decoded += static_cast<char>(hex_value(host[i + 1]) * 16 + hex_value(host[i + 2]));
			i += 2;
		} else {
			decoded += host[i];
		}
	}
	return lowered(decoded);
}

bool host_is_listed(const url_policy &policy, std::string host)
{
	if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
		unsigned char address[16];
		char text[INET6_ADDRSTRLEN];
		std::string inner = host.substr(1, host.size() - 2);
		if (inet_pton(AF_INET6, inner.c_str(), address) != 1 ||
		    !inet_ntop(AF_INET6, address, text, sizeof text))
			return false;
		host = "[" + std::string(text) + "]";
	} else if (!host.empty() && host.back() == '.') {
		host.pop_back();
	}
	for (const std::string &pattern : policy.hosts) {
		if (pattern == host)
			return true;
		if (pattern.starts_with("*.") && host.size() > pattern.size() - 1 &&
		    host.ends_with(pattern.substr(1)))
			return true;
	}
	return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	// The bytes before the first 0xff are the file, the bytes after it a URL.
	std::string_view input(reinterpret_cast<const char *>(data), size);
	size_t split = input.find('\xff');
	std::string_view text = input.substr(0, split);
	std::string_view url = split == std::string_view::npos ? "" : input.substr(split + 1);

	url_policy policy;
	policy_error error {};
	if (parse_policy(text, "f", &policy, &error) != 0) {
		if (strncmp(error.text, "f:", 2) != 0 || !strstr(error.text, ": "))
			fail("reason without FILE:LINE");
		return 0;
	}
	if (policy.every_scheme && !policy.schemes.empty())
		fail("every scheme with a list");
	if (policy.every_host && !policy.hosts.empty())
		fail("every host with a list");
	if ((policy.pace_count == 0) != (policy.pace_seconds == 0) || policy.pace_count > PACE_MAX_COUNT ||
	    policy.pace_seconds > PACE_MAX_SECONDS)
		fail("pace out of bounds");

	std::string again;
	if (!policy.every_scheme)
		again += "schemes =";
	for (size_t i = 0; i < policy.schemes.size(); i++) {
		if (!lower_scheme(policy.schemes[i]))
			fail("scheme not lowered or not a scheme");
		for (size_t j = 0; j < i; j++)
			if (policy.schemes[i] == policy.schemes[j])
				fail("scheme listed twice");
		again += " " + policy.schemes[i];
	}
	if (!policy.every_host)
		again += "\nhosts =";
	for (size_t i = 0; i < policy.hosts.size(); i++) {
		if (policy.hosts[i] != lowered(policy.hosts[i]) || policy.hosts[i].ends_with('.'))
			fail("host pattern not as compared");
		for (size_t j = 0; j < i; j++)
			if (policy.hosts[i] == policy.hosts[j])
				fail("host pattern listed twice");
		again += " " + policy.hosts[i];
	}
	if (policy.pace_count != 0)
		again += "\npace = " + std::to_string(policy.pace_count) + "/" + std::to_string(policy.pace_seconds);
	url_policy reread;
	if (parse_policy(again, "f", &reread, &error) != 0 || reread.schemes != policy.schemes ||
	    reread.every_scheme != policy.every_scheme || reread.hosts != policy.hosts ||
	    reread.every_host != policy.every_host || reread.pace_count != policy.pace_count ||
	    reread.pace_seconds != policy.pace_seconds)
		fail("policy does not read back");

	const auto *bytes = reinterpret_cast<const unsigned char *>(url.data());
	bool by_scheme = policy.every_scheme;
	for (const std::string &scheme : policy.schemes)
		by_scheme = by_scheme || scheme == model_scheme(url);
	bool permitted = policy_permits(policy, bytes, url.size());
	if (policy.every_host) {
		bool expected = policy.every_scheme || (by_scheme && !has_control(url));
		if (permitted != expected)
			fail("permits disagrees with the scheme model");
		return 0;
	}
	if (!permitted)
		return 0;
	if (!by_scheme || has_control(url))
		fail("a URL opens that its scheme or a control character refuses");
	std::optional<std::string> host = browser_host(url);
	if (host && !host_is_listed(policy, *host))
		fail("a URL opens whose host, as a browser reads it, is not listed");
	return 0;
}
