// Standard input, decoded as it is read: only the bytes are kept, and the
// first character that cannot stand where it does ends even endless input.
#include "bitmend.h"

#include <cstdlib>
#include <cstring>

// A block of standard input, and after it a character that is no hex digit,
// so that no pair is read past the block's end.
static char text[(1 << 16) + 1];

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

// Where the reading stands within a line of a list. The bytes of a given
// range are those of a line that never ends: line feeds are blanks there.
enum list_place {
	line_start, in_address, in_bytes, in_range_comment, in_comment
};

const char *read_ranges(const patch_range *given, patch_range **ranges,
                        size_t *count, uint8_t **pool, uint64_t *line)
{
	bool list = !given;
	size_t ranges_room = 0, used = 0, start = 0, old_end = 0;
	// A given range's bytes have room for its length, and stop there.
	size_t pool_room = list ? 0 : given->length;
	uint64_t address = list ? 0 : given->address;
	int high = -1;
	bool colon = false;
	list_place place = list ? line_start : in_bytes;
	*ranges = nullptr;
	*pool = list ? nullptr : static_cast<uint8_t *>(malloc(pool_room + 1));
	*count = 0;
	*line = 1;
	if (!list && !*pool)
		return "\nNot Enough Memory!\n";
	for (;;) {
		int32_t got = read_input(reinterpret_cast<uint8_t *>(text), 1 << 16);
		text[got > 0 ? got : 0] = '\0';
		if (got < 0)
			return "\nCan't Read Standard Input!\n";
		if (got == 0 && !list) {
			if (used < pool_room)
				return "\nNeed More HexNumber!\n";
			if (!grow(*ranges, ranges_room))
				return "\nNot Enough Memory!\n";
			(*ranges)[(*count)++] = {address, given->length, colon, 0};
			return nullptr;
		}
		// A producer that died mid-line must not leave a shortened range.
		if (got == 0)
			return place == line_start || place == in_comment
			               ? nullptr
			               : "\nList Ends Inside Line %d!\n";
		// Room for every byte that this much text can spell.
		while (list && pool_room - used < static_cast<size_t>(got))
			if (!grow(*pool, pool_room))
				return "\nNot Enough Memory!\n";
		uint8_t *bytes = *pool, *out = bytes + used;
		for (const char *at = text, *end = text + got; at < end;) {
			// Most pairs stand whole, one after another.
			for (int hi, lo; place == in_bytes && high < 0 &&
			                 out < bytes + pool_room &&
			                 (hi = digit_value(at[0])) >= 0 &&
			                 (lo = digit_value(at[1])) >= 0;
			     at += 2)
				*out++ = static_cast<uint8_t>(hi * 16 + lo);
			if (at == end)
				break;
			if (place >= in_range_comment &&
			    !(at = static_cast<const char *>(memchr(at, '\n', end - at))))
				break;
			char c = *at++;
			int digit = digit_value(c);
			if (place == line_start && c >= '0' && c <= '9') {
				address = 0;
				place = in_address;
			}
			if (place == in_bytes) {
				if (digit >= 0 && high < 0 && out < bytes + pool_room) {
					high = digit;
				} else if (digit >= 0 && high >= 0) {
					*out++ = static_cast<uint8_t>(high * 16 + digit);
					high = -1;
				} else if (c == ':' && !colon && high < 0 &&
				           (list || out == bytes + pool_room)) {
					colon = true;
					old_end = static_cast<size_t>(out - bytes);
					// NEW follows a given range's OLD: length bytes more.
					if (!list && !grow(*pool, pool_room))
						return "\nNot Enough Memory!\n";
					bytes = *pool;
					out = bytes + old_end;
					pool_room = list ? pool_room : 2 * old_end;
				} else if (c == '#' && list) {
					place = in_range_comment;
				} else if (!is_white(c)) {
					return list ? "\nHexNumber Error At Line %d!\n"
					            : "\nHexNumber Error!\n";
				}
			} else if (place == in_address) {
				if (c >= '0' && c <= '9') {
					for (at--; *at >= '0' && *at <= '9'; at++) {
						unsigned value = static_cast<unsigned>(*at - '0');
						// Past 18 digits a number may pass INT64_MAX.
						if (address > (uint64_t{INT64_MAX} - 9) / 10 &&
						    address > (uint64_t{INT64_MAX} - value) / 10)
							return "\nAddress Out Of Range At Line %d!\n";
						address = address * 10 + value;
					}
				} else if (c == '\n') {
					return "\nHexNumber Error At Line %d!\n";
				} else if (!is_white(c)) {
					return "\nAddress Error At Line %d!\n";
				} else {
					place = in_bytes;
					start = static_cast<size_t>(out - bytes);
					colon = false;
				}
				continue;
			} else if (place == line_start && c == '#') {
				place = in_comment;
			} else if (place == line_start && !is_white(c)) {
				return "\nAddress Error At Line %d!\n";
			}
			if (c != '\n' || !list)
				continue;
			if (place == in_bytes || place == in_range_comment) {
				size_t spelled = static_cast<size_t>(out - bytes) - start;
				if (high >= 0 || spelled == 0 ||
				    (colon && 2 * (old_end - start) != spelled))
					return "\nHexNumber Error At Line %d!\n";
				size_t length = colon ? spelled / 2 : spelled;
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
		used = static_cast<size_t>(out - bytes);
	}
}
