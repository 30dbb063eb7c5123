#include "logger/quote.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

log_quote::log_quote(std::string_view text)
{
	static constexpr char HEX[] = "0123456789abcdef";
	static constexpr char CUT[] = "...";
	// Malloc, not a string: this runs inside event callbacks, where nothing may throw.
	size_t most = std::min(text.size() * 4, LOG_QUOTE_MAX - (sizeof CUT - 1));
	text_ = static_cast<char *>(malloc(most + sizeof CUT));
	if (!text_)
		return;
	char *out = text_;
	for (char c : text) {
		auto byte = static_cast<unsigned char>(c);
		bool plain = byte >= 0x20 && byte != 0x7f && byte != '\\';
		if (static_cast<size_t>(out - text_) + (plain ? 1 : 4) > most) {
			memcpy(out, CUT, sizeof CUT - 1);
			out += sizeof CUT - 1;
			break;
		}
		if (plain) {
			*out++ = c;
			continue;
		}
		*out++ = '\\';
		*out++ = 'x';
		*out++ = HEX[byte >> 4];
		*out++ = HEX[byte & 0xf];
	}
	*out = '\0';
}

log_quote::~log_quote()
{
	free(text_);
}
