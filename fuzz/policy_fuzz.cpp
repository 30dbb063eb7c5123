// Arbitrary policy files through parse_policy, and arbitrary URLs through the
// policy it gives: what is accepted must be well formed and read back the same,
// and a URL must open exactly when a plain model of its scheme says so.
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The scheme as the opener sees the URL, lowered; "file" where there is none.
std::string model_scheme(std::string_view url)
{
	url = url.substr(0, url.find('\0'));
	size_t colon = url.find(':');
	std::string scheme(url.substr(0, colon == std::string_view::npos ? 0 : colon));
	for (char &c : scheme)
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
	return lower_scheme(scheme) ? scheme : "file";
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

	std::string again = "schemes =";
	for (size_t i = 0; i < policy.schemes.size(); i++) {
		if (!lower_scheme(policy.schemes[i]))
			fail("scheme not lowered or not a scheme");
		for (size_t j = 0; j < i; j++)
			if (policy.schemes[i] == policy.schemes[j])
				fail("scheme listed twice");
		again += " " + policy.schemes[i];
	}
	if (!policy.every_scheme) {
		url_policy reread;
		if (parse_policy(again, "f", &reread, &error) != 0 || reread.schemes != policy.schemes)
			fail("list does not read back");
	}

	const auto *bytes = reinterpret_cast<const unsigned char *>(url.data());
	bool permitted = policy.every_scheme;
	for (const std::string &scheme : policy.schemes)
		permitted = permitted || scheme == model_scheme(url);
	if (policy_permits(policy, bytes, url.size()) != permitted)
		fail("permits disagrees with the model");
	return 0;
}
