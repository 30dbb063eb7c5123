// Linked in place of the launcher library: a fork per fuzz input would be far
// too slow, and what matters here is which URLs reach the opener.
#include "fuzz/record_launch.h"

#include "protocol/net.h"

std::vector<std::string> recorded_urls;

int open_url(const unsigned char *url, size_t length)
{
	recorded_urls.emplace_back(reinterpret_cast<const char *>(url), length);
	return 0;
}

void forget_openers() {}
