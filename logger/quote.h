// Peer text made safe for a record: one record must stay one line.
#pragma once

#include <cstddef>
#include <string_view>

// The most a quoted text takes in a record, "..." included: with it a record
// stays well within one atomic write of the log, so that another process's
// record can never land inside it and leave a peer's text at a line's start.
constexpr size_t LOG_QUOTE_MAX = 2048;

// The text with the bytes 0x00-0x1f, 0x7f and the backslash written as \xNN,
// so that no text of a peer can end a record line and start one of its own,
// cut short with "..." past LOG_QUOTE_MAX.
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
