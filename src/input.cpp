// Standard input, decoded as it is read; the first misplaced character ends
// even endless input.
#include "bitmend.h"

#include <cstdlib>
#include <cstring>

// The block cursor: a block of text, then a '\0' that ends any pair. A CR
// that ends a block waits for the next, so that what follows it is known.
struct text_block {
	char text[(1 << 16) + 2];
	size_t count;
	bool held_cr;
};

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

// Room for at least least items, doubling; false without the memory.
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
	size_t start, old_end; // where the line's bytes, and NEW, begin
	patch_range *ranges;
	size_t count, ranges_room;
};

static int digit_value(char c)
{
	return hex_digit_value[static_cast<uint8_t>(c)];
}

// Most pairs stand whole, one after another: decoded while room lasts.
static const char *whole_pairs(reader &in, const char *at)
{
	uint8_t *out = in.pool + in.used, *room = in.pool + in.room;
	for (int hi, lo; in.high < 0 && out < room &&
	                 (hi = digit_value(at[0])) >= 0 &&
	                 (lo = digit_value(at[1])) >= 0;
	     at += 2)
		*out++ = static_cast<uint8_t>(hi * 16 + lo);
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
// a ':' right after OLD's last digit begins NEW, of as many bytes.
static const char *read_given(reader &in, const char *at, const char *end)
{
	while ((at = whole_pairs(in, at)) < end) {
		char c = *at++;
		if (take_digit(in, c) || is_white(c))
			continue;
		if (c != ':' || in.colon || in.used < in.room) // a pair may be half
			return message::hex_error;
		if (!grow(in.pool, in.room, 2 * in.used))
			return message::no_memory;
		in.colon = true;
		in.old_end = in.used;
		in.room = 2 * in.used;
	}
	return nullptr;
}

// At a line feed: a line that names bytes becomes a range.
static const char *end_line(reader &in)
{
	size_t spelled = in.used - in.start;
	size_t length = in.colon ? spelled / 2 : spelled;
	bool address = in.place == in_address || in.place == in_hex_address;
	if (address && in.address_digits == 0)
		return message::address_error_at;
	if (address ||
	    ((in.place == in_bytes || in.place == in_range_comment) &&
	     (in.high >= 0 || spelled == 0 ||
	      (in.colon && 2 * (in.old_end - in.start) != spelled))))
		return message::hex_error_at;
	if (in.place == in_bytes || in.place == in_range_comment) {
		if (length > INT32_MAX ||
		    (in.count == in.ranges_room &&
		     !grow(in.ranges, in.ranges_room, in.count + 1)))
			return message::no_memory;
		if (!in_range(in.address, length))
			return message::address_out_of_range_at;
		in.ranges[in.count++] = {in.address, static_cast<uint32_t>(length),
		                         in.colon, in.start};
	}
	in.place = line_start;
	in.line++;
	return nullptr;
}

// A list: a CR stands only right before a line feed, a blank never inside
// a pair or an address.
static const char *read_list(reader &in, const char *at, const char *end)
{
	while (at < end) {
		if (in.place == in_bytes)
			at = whole_pairs(in, at);
		else if (in.place >= in_range_comment) // to its line feed, or a CR
			at += strcspn(at, "\n\r");
		if (at == end)
			break;
		char c = *at++;
		if (c == '\r' && *at == '\n')
			c = *at++;
		bool blank = c != '\r' && is_white(c);
		bool digit = c >= '0' && c <= '9';
		bool address = in.place == in_address || in.place == in_hex_address;
		if (c == '\n') {
			if (const char *refusal = end_line(in))
				return refusal;
		} else if (in.place >= in_range_comment && c == '\r') {
			return message::hex_error_at;
		} else if (in.place == line_start && (digit || c == '#' || !blank)) {
			if (!digit && c != '#')
				return message::address_error_at;
			in.place = digit ? in_address : in_comment;
			in.address = 0;
			in.address_digits = 0;
			at -= digit;
		} else if (address &&
		           (in.place == in_hex_address ? digit_value(c) >= 0 : digit)) {
			const char *from = at - 1;
			at = read_digits(from, in.place == in_hex_address ? 16 : 10,
			                 &in.address);
			in.address_digits += static_cast<size_t>(at - from);
			if (in.address > INT64_MAX)
				return message::address_out_of_range_at;
		} else if (in.place == in_address && (c == 'x' || c == 'X') &&
		           in.address_digits == 1 && in.address == 0) {
			in.place = in_hex_address; // 0x, with hex digits to come
			in.address_digits = 0;
		} else if (address) {
			if (!blank || in.address_digits == 0)
				return message::address_error_at;
			in.place = in_bytes;
			in.start = in.used;
			in.colon = false;
		} else if (in.place == in_bytes && !take_digit(in, c)) {
			if (in.high >= 0 || (c == ':' ? in.colon : c != '#' && !blank))
				return message::hex_error_at;
			in.old_end = c == ':' ? in.used : in.old_end;
			in.colon = in.colon || c == ':';
			in.place = c == '#' ? in_range_comment : in_bytes;
		}
	}
	return nullptr;
}

// The refusal once the text has ended, or null with the range of - added.
static const char *end_text(reader &in, const patch_range *given)
{
	if (!given)
		return in.place == line_start || in.place == in_comment
		               ? nullptr
		               : message::list_ends_inside;
	if (in.used < in.room)
		return message::need_more;
	if (!grow(in.ranges, in.ranges_room, 1))
		return message::no_memory;
	in.ranges[in.count++] = {given->address, given->length, in.colon, 0};
	return nullptr;
}

static const char *read_text(reader &in, text_source source,
                             const patch_range *given)
{
	static text_block block;
	block.held_cr = false;
	if (given && !(in.pool = static_cast<uint8_t *>(malloc(in.room + 1))))
		return message::no_memory;
	for (;;) {
		if (!next_block(source, block))
			return message::cant_read_input;
		const char *at = block.text, *end = at + block.count;
		if (block.count == 0)
			return end_text(in, given);
		// A list's pool has room for every byte this much text can spell.
		if (!given && in.room - in.used < block.count &&
		    !grow(in.pool, in.room, in.used + block.count))
			return message::no_memory;
		if (const char *refusal = given ? read_given(in, at, end)
		                                : read_list(in, at, end))
			return refusal;
	}
}

const char *read_ranges(text_source source, const patch_range *given,
                        patch_range **ranges, size_t *count, uint8_t **pool,
                        uint64_t *line)
{
	reader in = {given ? in_bytes : line_start, 0, 1, 0, nullptr, 0,
	             given ? given->length : 0, -1, false, 0, 0, nullptr, 0, 0};
	const char *refusal = read_text(in, source, given);
	*ranges = in.ranges;
	*count = in.count;
	*pool = in.pool;
	*line = in.line;
	return refusal;
}
