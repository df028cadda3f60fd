// Standard input, decoded as it is read: only the bytes are kept, never the
// text. Reading stops at the first character that cannot stand where it
// does, so an endless stream that goes wrong ends.
#include "bitmend.h"

#include <cstdlib>

static char text[1 << 16];

// The next block of standard input into text: its length, 0 at the end,
// -1 on failure.
static int32_t read_text()
{
	return read_input(reinterpret_cast<uint8_t *>(text), sizeof text);
}

static int digit_value(char c)
{
	return hex_digit_value[static_cast<uint8_t>(c)];
}

static bool is_white(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

// Doubles the room of block, an array of room items; false where memory
// cannot hold it.
template <typename item> static bool grow(item *&block, size_t &room)
{
	size_t more = room ? 2 * room : 1024;
	void *moved = more <= SIZE_MAX / sizeof(item)
	                      ? realloc(block, more * sizeof(item))
	                      : nullptr;
	if (!moved)
		return false;
	block = static_cast<item *>(moved);
	room = more;
	return true;
}

const char *read_hex_input(uint32_t count, uint8_t **pool, bool *has_old)
{
	const char *no_memory = "\nNot Enough Memory!\n";
	uint8_t *bytes = *pool = static_cast<uint8_t *>(malloc(count + size_t{1}));
	uint64_t digits = 0, needed = 2 * uint64_t{count};
	int high = 0;
	*has_old = false;
	if (!bytes)
		return no_memory;
	for (;;) {
		int32_t got = read_text();
		if (got < 0)
			return "\nCan't Read Standard Input!\n";
		if (got == 0)
			return digits < needed ? "\nNeed More HexNumber!\n" : nullptr;
		for (int32_t i = 0; i < got; i++) {
			char c = text[i];
			int digit = digit_value(c), low = 0;
			// Most pairs stand whole, with no white space inside.
			if (digits % 2 == 0 && digits < needed && i + 1 < got &&
			    (digit | (low = digit_value(text[i + 1]))) >= 0) {
				bytes[digits / 2] = static_cast<uint8_t>(digit * 16 + low);
				digits += 2;
				i++;
			} else if (is_white(c)) {
				continue;
			} else if (digit >= 0 && digits < needed) {
				if (digits++ % 2 == 0)
					high = digit;
				else
					bytes[digits / 2 - 1] =
						static_cast<uint8_t>(high * 16 + digit);
			} else if (c == ':' && digits == needed && !*has_old) {
				void *both = realloc(*pool, 2 * size_t{count} + 1);
				if (!both)
					return no_memory;
				*pool = static_cast<uint8_t *>(both);
				bytes = *pool + count;
				digits = 0;
				*has_old = true;
			} else {
				return "\nHexNumber Error!\n";
			}
		}
	}
}

// Where a list's reading stands within its line.
enum list_place { line_start, in_address, in_bytes, in_range_comment, in_comment };

const char *read_list(patch_range **ranges, size_t *count, uint8_t **pool,
                      uint64_t *line)
{
	size_t ranges_room = 0, pool_room = 0, used = 0, start = 0, old_end = 0;
	uint64_t address = 0;
	int high = -1;
	bool colon = false;
	list_place place = line_start;
	*ranges = nullptr;
	*pool = nullptr;
	*count = 0;
	*line = 1;
	for (;;) {
		int32_t got = read_text();
		if (got < 0)
			return "\nCan't Read Standard Input!\n";
		// A producer that died mid-line must not leave a shortened range.
		if (got == 0)
			return place == line_start || place == in_comment
			               ? nullptr
			               : "\nList Ends Inside Line %d!\n";
		// Room for every byte that this much text can spell.
		while (pool_room - used < static_cast<size_t>(got))
			if (!grow(*pool, pool_room))
				return "\nNot Enough Memory!\n";
		uint8_t *bytes = *pool;
		for (int32_t i = 0; i < got; i++) {
			char c = text[i];
			int digit = digit_value(c), low;
			switch (place) {
			case in_bytes:
				if (digit >= 0 && high < 0) {
					// Most pairs stand whole, one after another.
					while (i + 1 < got &&
					       (digit | (low = digit_value(text[i + 1]))) >= 0) {
						bytes[used++] = static_cast<uint8_t>(digit * 16 + low);
						i += 2;
						digit = i < got ? digit_value(text[i]) : -1;
					}
					if (i < got && digit >= 0)
						high = digit;
					else
						i--;
				} else if (digit >= 0) {
					bytes[used++] = static_cast<uint8_t>(high * 16 + digit);
					high = -1;
				} else if (c == ':' && !colon && high < 0) {
					colon = true;
					old_end = used;
				} else if (c == '#') {
					place = in_range_comment;
				} else if (c != '\n' && is_white(c)) {
					continue;
				} else if (c != '\n') {
					return "\nHexNumber Error At Line %d!\n";
				}
				break;
			case in_address:
				if (c >= '0' && c <= '9') {
					// Past 18 digits a number may pass INT64_MAX.
					if (address > (uint64_t{INT64_MAX} - 9) / 10 &&
					    address > (uint64_t{INT64_MAX} - digit) / 10)
						return "\nAddress Out Of Range At Line %d!\n";
					address = address * 10 + static_cast<unsigned>(digit);
				} else if (c == '\n') {
					return "\nHexNumber Error At Line %d!\n";
				} else if (is_white(c)) {
					place = in_bytes;
					start = used;
					colon = false;
				} else {
					return "\nAddress Error At Line %d!\n";
				}
				continue;
			case line_start:
				if (digit >= 0 && c <= '9') {
					address = static_cast<unsigned>(digit);
					place = in_address;
				} else if (c == '#') {
					place = in_comment;
				} else if (!is_white(c)) {
					return "\nAddress Error At Line %d!\n";
				}
				break;
			case in_range_comment:
			case in_comment:
				break;
			}
			if (c != '\n')
				continue;
			if (place == in_bytes || place == in_range_comment) {
				size_t bytes = used - start;
				if (high >= 0 || bytes == 0 ||
				    (colon && 2 * (old_end - start) != bytes))
					return "\nHexNumber Error At Line %d!\n";
				size_t length = colon ? bytes / 2 : bytes;
				if (length > INT32_MAX)
					return "\nNot Enough Memory!\n";
				if (address + length > uint64_t{INT64_MAX} + 1)
					return "\nAddress Out Of Range At Line %d!\n";
				if (*count == ranges_room && !grow(*ranges, ranges_room))
					return "\nNot Enough Memory!\n";
				(*ranges)[(*count)++] = {address, static_cast<uint32_t>(length),
				                         colon, start};
			}
			place = line_start;
			++*line;
		}
	}
}
