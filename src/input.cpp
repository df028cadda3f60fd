// Standard input, decoded as it is read, the first misplaced character
// ending even endless input; and the numbers of the words and the lists.
#include "extern.h"

#include <cstdlib>
#include <cstring>

// Either base's digits saturate alike, so that no address wraps.
template <unsigned base> static const char *digits_of(const char *text, uint64_t *value)
{
	uint64_t read = *value;
	// -1, no digit, is 255 as unsigned: past either base.
	for (unsigned digit; (digit = static_cast<uint8_t>(
	                              hex_digit_value[static_cast<uint8_t>(*text)])) < base;
	     text++)
		read = read < UINT64_MAX / base ? read * base + digit : UINT64_MAX;
	*value = read;
	return text;
}

const char *read_digits(const char *text, unsigned base, uint64_t *value)
{
	return base == 16 ? digits_of<16>(text, value) : digits_of<10>(text, value);
}

bool read_decimal(const char *text, bool *negative, uint64_t *size)
{
	while (is_white(*text))
		text++;
	*negative = *text == '-';
	if (*text == '-' || *text == '+')
		text++;
	const char *digits = text;
	*size = 0;
	text = read_digits(text, 10, size);
	if (text == digits)
		return false;
	while (is_white(*text))
		text++;
	return *text == '\0';
}

bool in_range(uint64_t address, uint64_t length)
{
	return address <= INT64_MAX && length <= uint64_t{INT64_MAX} + 1 - address;
}

// The block cursor: a block of text, then a '\0' that ends any pair. A CR
// that ends a block waits for the next, so that what follows it is known.
struct text_block { char text[(1 << 16) + 2]; size_t count; bool held_cr; };

static bool next_block(text_source source, text_block &block)
{
	do { // a read of a lone CR is no end
		size_t kept = block.held_cr ? 1 : 0;
		block.text[0] = '\r';
		int32_t got = source(reinterpret_cast<uint8_t *>(block.text + kept),
		                     1 << 16);
		if (got < 0)
			return false;
		block.count = kept + static_cast<size_t>(got);
		block.held_cr = got > 0 && block.text[block.count - 1] == '\r';
		block.count -= block.held_cr;
	} while (block.count == 0 && block.held_cr);
	block.text[block.count] = '\0';
	return true;
}

// Room for `least` items at least, doubling; false without the memory.
template <typename item>
static bool grow(item *&block, size_t &room, size_t least)
{
	size_t more = room ? room : 1024;
	while (more < least && more <= SIZE_MAX / 4)
		more *= 2;
	void *moved = more >= least && more <= SIZE_MAX / sizeof(item)
	                      ? realloc(block, more * sizeof(item))
	                      : nullptr;
	if (moved) {
		block = static_cast<item *>(moved);
		room = more;
	}
	return moved;
}

// Where the reading stands in a list's line; - is always in its bytes.
enum list_place {
	line_start, in_address, in_hex_address, in_bytes, in_range_comment,
	in_comment
};

struct reader {
	list_place place;
	uint64_t address, line;
	size_t address_digits;
	uint8_t *pool;
	size_t used, room;
	int high; // the first digit of a pair not yet whole, or -1
	bool colon;
	size_t start, old_end; // where the line's bytes, and in a list NEW, begin
	patch_range *ranges;
	size_t count, ranges_room;
};

static int digit_value(char c)
{
	return hex_digit_value[static_cast<uint8_t>(c)];
}

// White space that may stand in a list's line: no CR.
static bool is_blank(char c)
{
	return c != '\r' && is_white(c);
}

// Most pairs stand whole, one after another: decoded while room lasts, one
// at a time, and past `alone` of them 16 at a time, as a word's are.
static inline const char *whole_pairs(reader &in, const char *at, const char *end,
                                      ptrdiff_t alone)
{
	uint8_t *out = in.pool + in.used, *const room = in.pool + in.room;
	for (uint8_t *stop = out; in.high < 0 && out == stop && out < room;) {
		stop = room - out > alone ? out + alone : room;
		for (int hi, lo; out < stop && ((hi = digit_value(at[0])) |
		                                (lo = digit_value(at[1]))) >= 0;
		     at += 2)
			*out++ = static_cast<uint8_t>(hi * 16 + lo);
		for (; out == stop && end - at >= 32 && room - out >= 16 &&
		       decode_hex(at, 16, out);
		     at += 32)
			stop = out += 16;
	}
	in.used = static_cast<size_t>(out - in.pool);
	return at;
}

// False for no hex digit, or a pair's first past the room.
static bool take_digit(reader &in, char c)
{
	int digit = digit_value(c);
	if (digit < 0 || (in.high < 0 && in.used == in.room))
		return false;
	if (in.high >= 0)
		in.pool[in.used++] = static_cast<uint8_t>(in.high * 16 + digit);
	in.high = in.high < 0 ? digit : -1;
	return true;
}

// The bytes of -: white space anywhere is dropped, also inside a pair, and
// a ':' after OLD's last digit, blanks or none between, begins NEW, of as
// many bytes.
static const message *read_given(reader &in, const char *at, const char *end)
{
	// 8, so that the 30 pairs of an xxd -p line take 16 at once, no more.
	while ((at = whole_pairs(in, at, end, 8)) < end) {
		char c = *at++;
		if (take_digit(in, c) || is_white(c))
			continue;
		if (c != ':' || in.colon || in.used < in.room) // a pair may be half
			return &messages::hex_error;
		if (!grow(in.pool, in.room, 2 * in.used))
			return &messages::no_memory;
		in.colon = true;
		in.room = 2 * in.used;
	}
	return nullptr;
}

// A line's bytes as a range: whole pairs, halves of one length.
static const message *add_range(reader &in)
{
	size_t spelled = in.used - in.start;
	size_t length = in.colon ? spelled / 2 : spelled;
	if (in.high >= 0 || spelled == 0 ||
	    (in.colon && 2 * (in.old_end - in.start) != spelled))
		return &messages::hex_error_at;
	if (length > INT32_MAX || (in.count == in.ranges_room &&
	                           !grow(in.ranges, in.ranges_room, in.count + 1)))
		return &messages::no_memory;
	if (!in_range(in.address, length))
		return &messages::address_out_of_range_at;
	in.ranges[in.count++] = {in.address, static_cast<uint32_t>(length),
	                         in.colon, in.start};
	return nullptr;
}

// At a line feed: a line that names bytes becomes a range.
static const message *end_line(reader &in)
{
	if (in.place == in_address || in.place == in_hex_address)
		return in.address_digits ? &messages::hex_error_at // no bytes
		                         : &messages::address_error_at;
	const message *refused = in.place == in_bytes || in.place == in_range_comment
	                                 ? add_range(in)
	                                 : nullptr;
	in.place = line_start;
	in.line += !refused;
	return refused;
}

// An address: decimal digits, or 0x or 0X and hex digits, then a blank.
static const message *take_address(reader &in, char c, const char *&at)
{
	unsigned base = in.place == in_hex_address ? 16 : 10;
	if (static_cast<uint8_t>(digit_value(c)) < base) {
		const char *from = at - 1;
		at = read_digits(from, base, &in.address);
		in.address_digits += static_cast<size_t>(at - from);
		return in.address > INT64_MAX ? &messages::address_out_of_range_at
		                              : nullptr;
	}
	if ((c == 'x' || c == 'X') && base == 10 && in.address_digits == 1 &&
	    in.address == 0) {
		in.place = in_hex_address;
		in.address_digits = 0;
		return nullptr;
	}
	if (!is_blank(c) || in.address_digits == 0)
		return &messages::address_error_at;
	in.place = in_bytes;
	in.start = in.used;
	in.colon = false;
	return nullptr;
}

// A list: a CR stands only right before a line feed, a blank never inside
// a pair or an address.
static const message *read_list(reader &in, const char *at, const char *end)
{
	while (at < end) {
		if (in.place == in_bytes)
			at = whole_pairs(in, at, end, 16); // a short line's pairs alone
		else if (in.place >= in_range_comment) // to its line feed, or a CR
			at += strcspn(at, "\n\r");
		if (at == end)
			break;
		char c = *at++;
		if (c == '\r' && *at == '\n')
			c = *at++;
		const message *refused = nullptr;
		if (c == '\n')
			refused = end_line(in);
		else switch (in.place) {
		case line_start: // an address's first digit, or a comment's '#'
			if (!is_blank(c) && c != '#' && (c < '0' || c > '9'))
				refused = &messages::address_error_at;
			in.place = is_blank(c) ? line_start : c == '#' ? in_comment : in_address;
			in.address = in.address_digits = 0;
			at -= in.place == in_address; // read again as a digit
			break;
		case in_address:
		case in_hex_address:
			refused = take_address(in, c, at);
			break;
		case in_bytes: // a digit, a blank between pairs, OLD's ':' or a '#'
			if (take_digit(in, c))
				break;
			if (in.high >= 0 || (c == ':' ? in.colon : c != '#' && !is_blank(c)))
				refused = &messages::hex_error_at;
			in.old_end = c == ':' ? in.used : in.old_end;
			in.colon = in.colon || c == ':';
			in.place = c == '#' ? in_range_comment : in_bytes;
			break;
		case in_range_comment:
		case in_comment: // the skip stops at a CR alone, or a NUL
			refused = c == '\r' ? &messages::hex_error_at : nullptr;
			break;
		}
		if (refused)
			return refused;
	}
	return nullptr;
}

// The refusal once the text has ended, or null with the range of - added.
static const message *end_text(reader &in, const patch_range *given)
{
	if (!given)
		return in.place == line_start || in.place == in_comment
		               ? nullptr
		               : &messages::list_ends_inside;
	if (in.used < in.room)
		return &messages::need_more;
	if (!grow(in.ranges, in.ranges_room, 1))
		return &messages::no_memory;
	in.ranges[in.count++] = {given->address, given->length, in.colon, 0};
	return nullptr;
}

static const message *read_text(reader &in, text_source source,
                                const patch_range *given)
{
	static text_block block;
	block.held_cr = false;
	if (given && !(in.pool = static_cast<uint8_t *>(malloc(in.room + 1))))
		return &messages::no_memory;
	for (;;) {
		if (!next_block(source, block))
			return &messages::cant_read_input;
		const char *at = block.text, *end = at + block.count;
		if (block.count == 0)
			return end_text(in, given);
		// A list's pool has room for every byte this much text can spell.
		if (!given && in.room - in.used < block.count &&
		    !grow(in.pool, in.room, in.used + block.count))
			return &messages::no_memory;
		if (const message *refused = given ? read_given(in, at, end)
		                                   : read_list(in, at, end))
			return refused;
	}
}

refusal read_ranges(text_source source, const patch_range *given,
                    patch_range **ranges, size_t *count, uint8_t **pool)
{
	reader in = {given ? in_bytes : line_start, 0, 1, 0, nullptr, 0,
	             given ? given->length : 0, -1, false, 0, 0, nullptr, 0, 0};
	const message *refused = read_text(in, source, given);
	*ranges = in.ranges;
	*count = in.count;
	*pool = in.pool;
	return {refused, in.line};
}
