// The administrator's URL policy: which schemes the service opens. The service
// process loads it; each connection child checks its URLs against the copy it
// was forked with.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The largest policy file that is read.
constexpr size_t POLICY_MAX_SIZE = 64 * 1024;

struct url_policy {
	// True without a file or without a schemes key: every URL opens.
	bool every_scheme = true;
	// Lower case, each once. Empty with every_scheme false: nothing opens.
	std::vector<std::string> schemes;
};

// Why a file was not accepted, as "FILE:LINE: reason" (line 0 where no line
// applies). Fixed storage, so that a report needs no allocation.
struct policy_error {
	char text[4096 + 256];
};

// Parses the text of a policy file named `file`. 0 and the policy in *out, or
// -1 with the reason in *error and *out untouched.
int parse_policy(std::string_view text, const char *file, url_policy *out, policy_error *error);

// Reads and parses the file at `path`, which must be a regular file of at most
// POLICY_MAX_SIZE bytes, owned by root and writable by no one else. 0 and the
// policy in *out; -ENOENT when there is no such file; another negated errno or
// -1 otherwise. Every failure leaves *out untouched and explains itself in *error.
int load_policy(const char *path, url_policy *out, policy_error *error);

// The scheme of a URL, as the opener would see it: the bytes before the first
// NUL, a leading ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) right before a
// ":". Empty when there is none, which the opener takes for a file name.
std::string_view url_scheme(const unsigned char *url, size_t length);

// Whether the policy lets this URL open. A URL without a scheme counts as "file".
bool policy_permits(const url_policy &policy, const unsigned char *url, size_t length);

// The policy of this process; every scheme until set_policy is called.
const url_policy &current_policy();
void set_policy(url_policy policy);

// Checks a URL against the current policy. A refusal is logged as a WARNING
// record naming the scheme and the caller's uid, never the URL itself.
bool policy_allows(const unsigned char *url, size_t length);
