// The report, formatted straight into one block, handed out when full and
// whenever the run asks.
#include "extern.h"

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

bool report_dropped()
{
	return dropped;
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

template <size_t size> static char *append(char *at, const char (&text)[size])
{
	memcpy(at, text, size - 1);
	return at + size - 1;
}

static char *append(char *at, const char *text)
{
	size_t count = strlen(text);
	memcpy(at, text, count);
	return at + count;
}

static const char hex_digits[] = "0123456789abcdef";

// A number kept as its digits, counted up in place: a copy, not a
// conversion, a line. They end at digits + 16, room for a fixed-size copy.
struct counter {
	char digits[32];
	int first;
	char last_digit;
};

static counter start_counter(uint64_t value, unsigned base)
{
	counter c = {};
	c.first = 16;
	do
		c.digits[--c.first] = hex_digits[value % base];
	while ((value /= base) != 0);
	c.last_digit = hex_digits[base - 1];
	return c;
}

static void put(const char *text)
{
	put(text, strlen(text));
}

static void put_number(uint64_t number, unsigned base)
{
	counter digits = start_counter(number, base);
	put(digits.digits + digits.first, static_cast<size_t>(16 - digits.first));
}

void report(message said, uint64_t number)
{
	put(said.text);
	if (said.what == takes::decimal || said.what == takes::hex)
		put_number(number, said.what == takes::decimal ? 10 : 16);
	put(said.rest);
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
	put(said.text);
	const char *plain = name;
	for (; *name; name++)
		if (size_t breaker = line_breaker(name)) {
			put(plain, static_cast<size_t>(name - plain));
			put("?", 1);
			name += breaker - 1;
			plain = name + 1;
		}
	put(plain, static_cast<size_t>(name - plain));
	put(said.rest);
}

static void count_up(counter &c)
{
	int at = 15;
	while (at >= c.first && c.digits[at] == c.last_digit)
		c.digits[at--] = '0';
	if (at < c.first)
		c.digits[--c.first] = '1';
	else
		c.digits[at] = c.digits[at] == '9'
		                       ? 'a'
		                       : static_cast<char>(c.digits[at] + 1);
}

static char *append_counter(char *at, const counter &c)
{
	memcpy(at, c.digits + c.first, 16);
	return at + 16 - c.first;
}

static char *append_byte(char *at, uint8_t value)
{
	if (value >= 16)
		*at++ = hex_digits[value >> 4];
	*at++ = hex_digits[value & 15];
	return at;
}

void report_seeking(uint64_t address)
{
	// The longest line is 45 characters, and a counter's copy 16.
	if (sizeof block - used < 64)
		flush_report();
	char *at = append(block + used, messages::seeking.text);
	at = append_counter(at, start_counter(address, 16));
	used = static_cast<size_t>(append(at, messages::seeking.rest) - block);
}

void report_bytes(uint32_t first_index, uint64_t first_offset,
                  const uint8_t *old_bytes, const uint8_t *new_bytes,
                  uint32_t count, bool ok)
{
	counter index = start_counter(first_index, 10);
	counter offset = start_counter(first_offset, 16);
	for (uint32_t i = 0; i < count; i++) {
		// The longest line is 61 characters, and a counter's copy 16.
		if (sizeof block - used < 80)
			flush_report();
		char *at = append(block + used, messages::index);
		at = append(append_counter(at, index), messages::offset);
		at = append(append_counter(at, offset), messages::old_value);
		at = append(append_byte(at, old_bytes[i]), messages::new_value);
		at = append(append_byte(at, new_bytes[i]), messages::line_end);
		if (ok)
			at = append(at, messages::ok);
		used = static_cast<size_t>(at - block);
		count_up(index);
		count_up(offset);
	}
}
