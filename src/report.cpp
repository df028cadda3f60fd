// The report: formatted straight into one block buffer, which goes to
// standard output when it is full and whenever the run asks.
#include "bitmend.h"

#include <charconv>
#include <cstring>

static char block[1 << 16];
static size_t used;

void flush_report()
{
	if (used > 0)
		write_report(block, used);
	used = 0;
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

void report(const char *format)
{
	put(format, strlen(format));
}

void report(const char *format, const char *text)
{
	const char *conversion = strchr(format, '%');
	put(format, static_cast<size_t>(conversion - format));
	put(text, strlen(text));
	report(conversion + 2);
}

void report(const char *format, uint32_t number)
{
	const char *conversion = strchr(format, '%');
	put(format, static_cast<size_t>(conversion - format));
	char digits[16];
	char *end = std::to_chars(digits, digits + sizeof digits, number,
	                          conversion[1] == 'x' ? 16 : 10)
	                    .ptr;
	put(digits, static_cast<size_t>(end - digits));
	report(conversion + 2);
}

template <size_t size> static char *append(char *at, const char (&text)[size])
{
	memcpy(at, text, size - 1);
	return at + size - 1;
}

void report_byte(uint32_t index, uint32_t offset, uint8_t old_byte,
                 uint8_t new_byte, bool ok)
{
	// The longest line is 58 characters.
	if (sizeof block - used < 64)
		flush_report();
	char *at = block + used;
	char *end = block + sizeof block;
	at = append(at, "(");
	at = std::to_chars(at, end, index).ptr;
	at = append(at, ").Offset 0x");
	at = std::to_chars(at, end, offset, 16).ptr;
	at = append(at, ":  [0x");
	at = std::to_chars(at, end, unsigned{old_byte}, 16).ptr;
	at = append(at, "]->[0x");
	at = std::to_chars(at, end, unsigned{new_byte}, 16).ptr;
	at = append(at, "]...");
	if (ok)
		at = append(at, "OK\n");
	used = static_cast<size_t>(at - block);
}
