// Peer text made safe for a record: one record must stay one line.
#pragma once

#include <string_view>

// The text with the bytes 0x00-0x1f, 0x7f and the backslash written as \xNN,
// so that no text of a peer can end a record line and start one of its own.
// Lives as long as the record's log call needs it.
class log_quote {
public:
	explicit log_quote(std::string_view text);
	log_quote(const log_quote &) = delete;
	log_quote &operator=(const log_quote &) = delete;
	~log_quote();

	const char *c_str() const { return text_ ? text_ : "(out of memory)"; }

private:
	char *text_;
};
