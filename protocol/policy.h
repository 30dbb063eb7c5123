// The administrator's URL policy: which schemes and hosts the service opens,
// and how many URLs one connection may open in a while. The service process
// loads it; each connection child checks its URLs against the copy it was
// forked with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/record_pace.h"

// The largest policy file that is read.
constexpr size_t POLICY_MAX_SIZE = 64 * 1024;
// The bounds of `pace = N/S`.
constexpr unsigned PACE_MAX_COUNT = 1000;
constexpr unsigned PACE_MAX_SECONDS = 3600;

struct url_policy {
	// True without a file or without a schemes key: every URL opens.
	bool every_scheme = true;
	// Lower case, each once. Empty with every_scheme false: nothing opens.
	std::vector<std::string> schemes;
	// True without a hosts key: a URL of any host opens.
	bool every_host = true;
	// Each once, as compared: lower case without a trailing dot ("example.org",
	// "*.example.org", "192.0.2.1"), IPv6 in brackets as inet_ntop writes it.
	std::vector<std::string> hosts;
	// At most pace_count URLs opened per connection in any pace_seconds; 0: no bound.
	unsigned pace_count = 0;
	unsigned pace_seconds = 0;
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

// What a policy allows, for a record: "3 schemes, 2 hosts, pace 20/10", or
// "every scheme" and the parts that are set.
void describe_policy(const url_policy &policy, char *text, size_t size);

// The scheme of a URL, as the opener would see it: the bytes before the first
// NUL, a leading ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) right before a
// ":". Empty when there is none, which the opener takes for a file name.
std::string_view url_scheme(const unsigned char *url, size_t length);

enum class url_verdict {
	opens,
	refused_scheme,
	// Its host is not listed.
	refused_host,
	// Read one way here and maybe another by the browser or the opener.
	unreadable,
};

// Judges a URL by the policy's schemes and hosts. A URL without a scheme counts
// as "file". *host is set to the host of a URL refused for it, as it stands in
// the URL (IPv6 with its brackets).
url_verdict judge_url(const url_policy &policy, const unsigned char *url, size_t length,
		      std::string_view *host = nullptr);
bool policy_permits(const url_policy &policy, const unsigned char *url, size_t length);

// The policy of this process; every scheme until set_policy is called.
const url_policy &current_policy();
void set_policy(url_policy policy);

// Checks a URL against the current policy. A refusal is logged as a WARNING
// record naming the scheme or the host and the caller's uid, never the URL itself.
bool policy_allows(const unsigned char *url, size_t length);

// What one connection opened, for the pace of the current policy.
struct url_pace {
	// The times of the last URLs opened (ns of the monotonic clock), a ring.
	int64_t opened[PACE_MAX_COUNT];
	unsigned count;
	unsigned next;
	// The records of skips.
	record_pace skips;
};

// Whether one more URL may open at `now` (ns of the monotonic clock). A skip is
// logged as a WARNING record, at most one a second.
bool pace_allows(url_pace *pace, int64_t now);
// The opener of a URL was started at `now`.
void pace_opened(url_pace *pace, int64_t now);
// At the end of the connection: logs the refusals and the skips that no
// record named.
void policy_finish(url_pace *pace);
