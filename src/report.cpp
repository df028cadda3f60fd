// The report: formatted straight into one block buffer, which goes to
// standard output when it is full and whenever the run asks.
#include "bitmend.h"

#include <cstring>

static char block[1 << 16];
static size_t used;
static bool all_kept = true;

bool flush_report()
{
	if (used > 0 && !write_report(block, used))
		all_kept = false;
	used = 0;
	return all_kept;
}

static bool continues_character(char c)
{
	return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

static void put(const char *text, size_t count)
{
	while (count > sizeof block - used) {
		// Blocks end between characters, so each can be converted alone.
		size_t part = sizeof block - used;
		for (int back = 0; back < 3 && part > 0 &&
		                   continues_character(text[part]);
		     back++)
			part--;
		memcpy(block + used, text, part);
		used += part;
		text += part;
		count -= part;
		flush_report();
	}
	memcpy(block + used, text, count);
	used += count;
}

template <size_t size> static char *append(char *at, const char (&text)[size])
{
	memcpy(at, text, size - 1);
	return at + size - 1;
}

static const char hex_digits[] = "0123456789abcdef";

// Lowercase, without leading zeros: one digit for each started group of
// four significant bits, and one for zero.
static char *append_hex(char *at, uint32_t value)
{
	int digits = (35 - __builtin_clz(value | 1)) / 4;
	for (int i = digits - 1; i >= 0; i--)
		at[digits - 1 - i] = hex_digits[(value >> (4 * i)) & 15];
	return at + digits;
}

static char *append_decimal(char *at, uint32_t value)
{
	int digits = 1;
	for (uint32_t rest = value; rest >= 10; rest /= 10)
		digits++;
	for (int i = digits - 1; i >= 0; i--, value /= 10)
		at[i] = static_cast<char>('0' + value % 10);
	return at + digits;
}

void report(const char *format)
{
	put(format, strlen(format));
}

// Puts format up to its conversion and returns what follows that; where
// it has none, puts it whole and returns null.
static const char *put_head(const char *format)
{
	const char *conversion = strchr(format, '%');
	if (!conversion) {
		report(format);
		return nullptr;
	}
	put(format, static_cast<size_t>(conversion - format));
	return conversion[1] ? conversion + 2 : conversion + 1;
}

void report(const char *format, const char *text)
{
	if (const char *rest = put_head(format)) {
		put(text, strlen(text));
		report(rest);
	}
}

void report(const char *format, uint32_t number)
{
	if (const char *rest = put_head(format)) {
		char digits[8];
		put(digits, static_cast<size_t>(append_hex(digits, number) - digits));
		report(rest);
	}
}

// A number kept as its digits and counted up in place, so that a line's
// index and offset cost a copy rather than a conversion. The digits end at
// digits + 16; the bytes after them are room for a fixed-size copy.
struct counter {
	char digits[32];
	int first;
	char last_digit;
};

static counter start_counter(uint32_t value, bool hex)
{
	counter c = {};
	char text[16];
	int length = static_cast<int>((hex ? append_hex(text, value)
	                                   : append_decimal(text, value)) - text);
	c.first = 16 - length;
	memcpy(c.digits + c.first, text, static_cast<size_t>(length));
	c.last_digit = hex ? 'f' : '9';
	return c;
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

void report_bytes(uint32_t first_index, uint32_t first_offset,
                  const uint8_t *old_bytes, const uint8_t *new_bytes,
                  uint32_t count, bool ok)
{
	counter index = start_counter(first_index, false);
	counter offset = start_counter(first_offset, true);
	for (uint32_t i = 0; i < count; i++) {
		// The longest line is 53 characters, and a counter's copy 16.
		if (sizeof block - used < 80)
			flush_report();
		char *at = block + used;
		at = append(at, "(");
		at = append_counter(at, index);
		at = append(at, ").Offset 0x");
		at = append_counter(at, offset);
		at = append(at, ":  [0x");
		at = append_byte(at, old_bytes[i]);
		at = append(at, "]->[0x");
		at = append_byte(at, new_bytes[i]);
		at = append(at, "]...");
		if (ok)
			at = append(at, "OK\n");
		used = static_cast<size_t>(at - block);
		count_up(index);
		count_up(offset);
	}
}
