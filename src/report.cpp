// The report, formatted straight into one block, handed out when full and
// whenever the run asks.
#include "extern.h"

#include <array>
#include <cstring>
#include <initializer_list>

static char block[1 << 16];
static size_t used;
static bool all_kept = true, dropped, reader_gone;

// Once its reader has gone, nothing more goes out: a new reader of the same
// FIFO would get the rest after a gap.
bool flush_report()
{
	if (used > 0 && !dropped && !reader_gone) {
		output_result result = write_report(block, used);
		reader_gone = result == output_result::reader_gone;
		all_kept = all_kept && result != output_result::failed;
	}
	used = 0;
	return all_kept;
}

void drop_report()
{
	dropped = true;
}

static void put(const char *text, size_t count)
{
	for (size_t part; count > 0; text += part, count -= part) {
		if (used == sizeof block)
			flush_report();
		part = count < sizeof block - used ? count : sizeof block - used;
		memcpy(block + used, text, part);
		used += part;
	}
}

static char *append(char *at, const char *text)
{
	size_t count = strlen(text);
	memcpy(at, text, count);
	return at + count;
}

static constexpr char hex_digits[] = "0123456789abcdef";

// A number's digits, up to 20, copied at a fixed size of 24.
template <unsigned base> static char *append_number(char *at, uint64_t value)
{
	char digits[48], *first = digits + 24;
	do
		*--first = hex_digits[value % base];
	while ((value /= base) != 0);
	memcpy(at, first, 24);
	return at + (digits + 24 - first);
}

void report(message said, uint64_t number)
{
	put(said.text, strlen(said.text));
	char digits[48], *end = digits;
	if (said.what == takes::hex)
		end = append_number<16>(digits, number);
	if (said.what == takes::decimal)
		end = append_number<10>(digits, number);
	put(digits, static_cast<size_t>(end - digits));
	put(said.rest, strlen(said.rest));
}

// The length of a character that ends a line for some reader (a control
// character, NEL, LS, PS), or 0: it could forge a line such as "Done!".
static size_t line_breaker(const char *text)
{
	unsigned char c = static_cast<unsigned char>(*text);
	if (c < 0x20 || c == 0x7f)
		return 1;
	for (const char *breaker : {"\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9"})
		if (strncmp(text, breaker, strlen(breaker)) == 0)
			return strlen(breaker);
	return 0;
}

void report(message said, const char *name)
{
	put(said.text, strlen(said.text));
	const char *plain = name;
	for (; *name; name++)
		if (size_t breaker = line_breaker(name)) {
			put(plain, static_cast<size_t>(name - plain));
			put("?", 1);
			name += breaker - 1;
			plain = name + 1;
		}
	put(plain, static_cast<size_t>(name - plain));
	put(said.rest, strlen(said.rest));
}

// Each byte value's digits and the text after them in a line, copied at a
// fixed size, the length kept in the last character.
using value_texts = std::array<std::array<char, 16>, 256>;

static constexpr value_texts texts_after(const char *after, const char *more)
{
	value_texts texts = {};
	for (size_t value = 0; value < texts.size(); value++) {
		std::array<char, 16> &text = texts[value];
		size_t at = 0;
		if (value >= 16)
			text[at++] = hex_digits[value >> 4];
		text[at++] = hex_digits[value & 15];
		for (const char *part : {after, more})
			for (; *part; part++)
				text[at++] = *part;
		text[15] = static_cast<char>(at);
	}
	return texts;
}

static constexpr value_texts old_texts = texts_after(messages::new_value, "");
static constexpr value_texts new_texts = texts_after(messages::line_end, messages::ok);

// A byte line's head, "(INDEX).Offset 0xOFFSET:  [0x", kept from line to
// line, its numbers counted up in place: a copy a line, not conversions.
struct line_head { char text[64]; size_t length, index_end, offset_end; };

static void start_head(line_head &head, uint64_t index, uint64_t offset)
{
	char *at = append_number<10>(append(head.text, messages::index), index);
	head.index_end = static_cast<size_t>(at - head.text);
	at = append_number<16>(append(at, messages::offset), offset);
	head.offset_end = static_cast<size_t>(at - head.text);
	head.length = static_cast<size_t>(append(at, messages::old_value) - head.text);
}

// Counts up the number whose last digit is at last; false where it gains a
// digit.
static bool count_up(char *last, char last_digit)
{
	for (; *last == last_digit; last--)
		*last = '0';
	if (!((*last >= '0' && *last <= '9') || (*last >= 'a' && *last <= 'f')))
		return false;
	*last = *last == '9' ? 'a' : static_cast<char>(*last + 1);
	return true;
}

void report_seeking(uint64_t address)
{
	// The longest line is 45 characters, and a number's copy 24.
	if (sizeof block - used < 96)
		flush_report();
	char *at = append_number<16>(append(block + used, messages::seeking.text),
	                             address);
	used = static_cast<size_t>(append(at, messages::seeking.rest) - block);
}

void report_bytes(uint32_t first_index, uint64_t first_offset,
                  const uint8_t *old_bytes, const uint8_t *new_bytes,
                  uint32_t count, bool ok)
{
	line_head head;
	start_head(head, first_index, first_offset);
	char *at = block + used, *index = head.text + head.index_end - 1,
	     *offset = head.text + head.offset_end - 1;
	for (uint32_t i = 0; i < count; i++) {
		// The longest line is 61 characters, copied in parts of 48 and 16.
		if (at > block + sizeof block - 128) {
			used = static_cast<size_t>(at - block);
			flush_report();
			at = block;
		}
		memcpy(at, head.text, 48);
		at += head.length;
		const char *old_text = old_texts[old_bytes[i]].data(),
		           *new_text = new_texts[new_bytes[i]].data();
		memcpy(at, old_text, 16);
		at += old_text[15];
		memcpy(at, new_text, 16);
		at += new_text[15];
		if (*offset != 'f' && *offset != '9' && *index != '9') { // most lines
			++*offset;
			++*index;
		} else if (!count_up(offset, 'f') || !count_up(index, '9')) {
			start_head(head, uint64_t{first_index} + i + 1, first_offset + i + 1);
			index = head.text + head.index_end - 1;
			offset = head.text + head.offset_end - 1;
		}
	}
	used = static_cast<size_t>(at - block) - (ok ? 0 : strlen(messages::ok));
}
