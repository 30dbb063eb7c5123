#include "logger/quote.h"

#include <cstdlib>

log_quote::log_quote(std::string_view text)
{
	static constexpr char HEX[] = "0123456789abcdef";
	// Malloc, not a string: this runs inside event callbacks, where nothing may throw.
	text_ = static_cast<char *>(malloc(text.size() * 4 + 1));
	if (!text_)
		return;
	char *out = text_;
	for (char c : text) {
		auto byte = static_cast<unsigned char>(c);
		if (byte >= 0x20 && byte != 0x7f && byte != '\\') {
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
