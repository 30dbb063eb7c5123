// The recorder that stands in for the opener's launch in the connection
// fuzzer: every URL the protocol asks to open, in order.
#pragma once

#include <string>
#include <vector>

extern std::vector<std::string> recorded_urls;
