// Hex dump records: a labelled dump of a byte range, framed line by line by
// the rendered output pattern and delivered as one record.
#include "logger/logger.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "logger/render.h"
#include "logger/stderr.h"

namespace {

constexpr size_t line_reserve = 100;

struct free_deleter {
	void operator()(char *block) const { free(block); }
};
using heap_text = std::unique_ptr<char[], free_deleter>;

// Touching hundreds of MiB page by page costs more than writing them, so the
// block of a large dump asks for huge pages; the kernel may still refuse.
constexpr size_t huge_block = 32u << 20;

class output_block {
public:
	explicit output_block(size_t bytes) : size(bytes)
	{
		if (bytes < huge_block) {
			text = static_cast<char *>(malloc(bytes));
			return;
		}
		void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		if (p == MAP_FAILED)
			return;
		madvise(p, bytes, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
		// One call faults the whole block in, instead of one fault per page.
		madvise(p, bytes, MADV_POPULATE_WRITE);
#endif
		text = static_cast<char *>(p);
	}
	~output_block()
	{
		if (size < huge_block)
			free(text);
		else if (text)
			munmap(text, size);
	}
	output_block(const output_block &) = delete;
	output_block &operator=(const output_block &) = delete;

	char *text = nullptr;

private:
	size_t size;
};

// Renders the pattern once with a NUL for every %m; the head is the text
// before the first %m, the tail the text after the last.
int render_frame(const logger *lgr, char *scratch, size_t size, int level,
		 const char *file, int line, const char *function,
		 const char **tail)
{
	size_t used = 0;
	*tail = nullptr;
	for (const char *p = lgr->format; *p != '\0'; p++) {
		size_t room = size - used;
		if (*p != '%') {
			if (room > 1)
				scratch[used++] = *p;
			continue;
		}
		if (*++p == 'm') {
			if (room > 1)
				scratch[used++] = '\0';
			*tail = scratch + used;
			continue;
		}
		int n = render_directive(scratch + used, room, *p, level, file, line, function);
		if (n < 0)
			return -EINVAL;
		used += fitted(n, room);
	}
	scratch[used] = '\0';
	if (*tail == nullptr)
		*tail = scratch + used;
	return 0;
}

constexpr char hex_digits[] = "0123456789abcdef";

// Two hex digits per byte value, and the byte as the character column shows it.
struct byte_tables {
	char hex[256][2];
	char shown[256];
};

constexpr byte_tables make_tables()
{
	byte_tables t{};
	for (int b = 0; b < 256; b++) {
		t.hex[b][0] = hex_digits[b >> 4];
		t.hex[b][1] = hex_digits[b & 15];
		t.shown[b] = b >= 0x20 && b <= 0x7e ? static_cast<char>(b) : '.';
	}
	return t;
}

constexpr byte_tables tables = make_tables();

// Between head and tail a dump line is always 78 characters: the offset,
// the hex column and the character column at fixed places.
constexpr size_t line_body = 78;
constexpr size_t hex_at = 10;
constexpr size_t chars_at = 61;
constexpr char blank_body[] =
	"00000000                                                    |                |";
static_assert(sizeof blank_body - 1 == line_body);

// The head and tail rendered once per dump, with their lengths.
struct frame {
	const char *head;
	size_t head_length;
	const char *tail;
	size_t tail_length;
};

__attribute__((always_inline)) inline void fill_bytes(char *p, const unsigned char *bytes,
						       size_t count)
{
	for (size_t k = 0; k < count; k++) {
		memcpy(p + hex_at + 3 * k + (k < 8 ? 0 : 1), tables.hex[bytes[k]], 2);
		p[chars_at + k] = tables.shown[bytes[k]];
	}
}

// Builds one dump line of count bytes (1 to 16) at out, which has room for
// it; returns its length.
size_t build_line(char *out, const frame &f, uint32_t offset, const unsigned char *bytes,
		  size_t count)
{
	char *p = out;
	memcpy(p, f.head, f.head_length);
	p += f.head_length;
	memcpy(p, blank_body, line_body);
	for (int i = 0; i < 4; i++)
		memcpy(p + 2 * i, tables.hex[(offset >> (24 - 8 * i)) & 0xff], 2);
	// A full line is the common case: a constant count unrolls completely.
	if (count == 16)
		fill_bytes(p, bytes, 16);
	else
		fill_bytes(p, bytes, count);
	p += line_body;
	memcpy(p, f.tail, f.tail_length);
	p += f.tail_length;
	return static_cast<size_t>(p - out);
}

// Appends one dump line from the areas as the line's last byte left them.
size_t append_line(char *block, size_t size, size_t used, const char *head,
		   const char *offset, const char *hex, const char *chars,
		   const char *tail)
{
	int n = snprintf(block + used, size - used, "%s%8.8s  %-48.48s  |%-16.16s|%s",
			 head, offset, hex, chars, tail);
	return used + fitted(n, size - used);
}

// Standard error takes a dump in joined lines as they are built, so the
// whole text is never held: the same bytes, without a block the size of it.
int stream_dump(const logger *lgr, int level, const char *file, int line,
		const char *function, const unsigned char *data, size_t length,
		size_t label, const char *format, va_list args)
{
	size_t names, messages, scratch_size;
	if (!pattern_excess(lgr->format, file, function, &names, &messages) ||
	    !add_size(lgr->format_reserve, names, &scratch_size) ||
	    !add_size(scratch_size, messages > 1 ? messages + 1 : 2, &scratch_size))
		return -EOVERFLOW;
	heap_text scratch(static_cast<char *>(malloc(scratch_size)));
	if (!scratch)
		return -ENOMEM;
	const char *tail;
	if (render_frame(lgr, scratch.get(), scratch_size, level, file, line, function, &tail) < 0)
		return -EINVAL;
	frame f{scratch.get(), strlen(scratch.get()), tail, strlen(tail)};

	size_t header_size;
	if (!add_size(f.head_length + f.tail_length, label + 1, &header_size))
		return -EOVERFLOW;
	const size_t line_length = f.head_length + line_body + f.tail_length;
	heap_text header(static_cast<char *>(malloc(header_size)));
	heap_text unit(static_cast<char *>(malloc(line_length)));
	if (!header || !unit)
		return -ENOMEM;
	memcpy(header.get(), f.head, f.head_length);
	va_list again;
	va_copy(again, args);
	int n = vsnprintf(header.get() + f.head_length, label + 1, format, again);
	va_end(again);
	if (n < 0)
		return -EINVAL;

	stderr_lines out(stderr_line_prefix(level));
	// A NUL in the label ends the record's text there, as for any writer.
	size_t shown = strnlen(header.get() + f.head_length, label);
	if (shown < label) {
		out.put(header.get(), f.head_length + shown);
		out.finish();
		return 0;
	}
	memcpy(header.get() + f.head_length + label, f.tail, f.tail_length);
	out.put(header.get(), f.head_length + label + f.tail_length);

	// With the usual frame each dump line is one line of text, built in place.
	const char *head_newline = static_cast<const char *>(memchr(f.head, '\n', f.head_length));
	const char *tail_newline = static_cast<const char *>(memchr(f.tail, '\n', f.tail_length));
	bool one_line = !head_newline && tail_newline && tail_newline == f.tail + f.tail_length - 1;
	for (size_t i = 0; i < length && !out.failed(); i += 16) {
		size_t count = length - i < 16 ? length - i : 16;
		char *slot = one_line ? out.line_slot(line_length) : nullptr;
		if (slot) {
			build_line(slot, f, static_cast<uint32_t>(i), data + i, count);
			continue;
		}
		build_line(unit.get(), f, static_cast<uint32_t>(i), data + i, count);
		out.put(unit.get(), line_length);
	}
	out.finish();
	return 0;
}

int write_dump(const logger *lgr, int level, const char *file, int line,
	       const char *function, const unsigned char *data, size_t length,
	       const char *format, va_list args)
{
	va_list measure;
	va_copy(measure, args);
	int label = vsnprintf(nullptr, 0, format, measure);
	va_end(measure);
	if (label < 0)
		return -EINVAL;
	if (lgr->writer == stderr_writer)
		return stream_dump(lgr, level, file, line, function, data, length,
				   static_cast<size_t>(label), format, args);

	// (L + 2) x R + 100 x L + 100 + N, with R grown by overlong names and
	// the scratch text by one marker for each %m.
	size_t names, messages, reserve, lines, size, part, scratch_size;
	if (!pattern_excess(lgr->format, file, function, &names, &messages) ||
	    !add_size(lgr->format_reserve, names, &reserve))
		return -EOVERFLOW;
	lines = length / 16;
	if (!add_size(lines, 2, &size) || !mul_size(size, reserve, &size) ||
	    !mul_size(lines, line_reserve, &part) || !add_size(size, part, &size) ||
	    !add_size(size, line_reserve + label, &size) ||
	    !add_size(reserve, messages > 1 ? messages + 1 : 2, &scratch_size))
		return -EOVERFLOW;

	output_block block(size);
	if (!block.text)
		return -ENOMEM;
	heap_text scratch(static_cast<char *>(malloc(scratch_size)));
	if (!scratch)
		return -ENOMEM;
	const char *head = scratch.get();
	const char *tail;
	if (render_frame(lgr, scratch.get(), scratch_size, level, file, line, function, &tail) < 0)
		return -EINVAL;

	char *out = block.text;
	size_t used = fitted(snprintf(out, size, "%s", head), size);
	va_list again;
	va_copy(again, args);
	int n = vsnprintf(out + used, size - used, format, again);
	va_end(again);
	if (n < 0)
		return -EINVAL;
	used += fitted(n, size - used);
	used += fitted(snprintf(out + used, size - used, "%s", tail), size - used);

	// Lines are built from tables while a whole line and its NUL fit the block.
	frame f{head, strlen(head), tail, strlen(tail)};
	const size_t line_length = f.head_length + line_body + f.tail_length;
	size_t i = 0;
	for (; i < length && size - used > line_length; i += 16) {
		size_t count = length - i < 16 ? length - i : 16;
		used += build_line(out + used, f, static_cast<uint32_t>(i), data + i, count);
	}
	out[used] = '\0';
	if (i >= length) {
		lgr->writer(level, out, lgr->writer_data);
		return 0;
	}

	// What is left no longer fits whole: cut it as the formatted lines would.
	// The offset column counts in 32 bits and wraps past 4 GiB.
	char offset[11];
	char hex[64];
	char chars[20];
	uint32_t next_offset = static_cast<uint32_t>(i);
	for (; i < length; i++) {
		size_t k = i % 16;
		if (k == 0) {
			snprintf(offset, sizeof offset, "%08x  ", next_offset);
			next_offset += 16;
			memset(hex, 0, sizeof hex);
			memset(chars, 0, sizeof chars);
		}
		size_t column = 3 * k + (k < 8 ? 0 : 1);
		snprintf(hex + column, sizeof hex - column, "%02x  ", data[i]);
		chars[k] = data[i] >= 0x20 && data[i] <= 0x7e ? data[i] : '.';
		if (k == 15)
			used = append_line(out, size, used, head, offset, hex, chars, tail);
	}
	if (length % 16 != 0)
		append_line(out, size, used, head, offset, hex, chars, tail);

	lgr->writer(level, out, lgr->writer_data);
	return 0;
}

} // namespace

int logger_dump(logger *lgr, int level, const char *file, int line,
		const char *function, const void *data, size_t length,
		const char *format, ...)
{
	if (!logger_passes(lgr, level))
		return 0;
	errno_saver saved;
	mutex_lock lock(&lgr->mutex);
	if (lock.error != 0)
		return -lock.error;
	if (level > lgr->threshold)
		return 0;
	if (lgr->format == nullptr || lgr->writer == nullptr || length == 0 || data == nullptr)
		return 0;

	va_list args;
	va_start(args, format);
	int result = write_dump(lgr, level, file, line, function,
				static_cast<const unsigned char *>(data), length, format, args);
	va_end(args);
	return result;
}
