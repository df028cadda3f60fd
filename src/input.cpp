// HEXNUMBER from standard input, decoded as it is read: only the bytes are
// kept, never the text.
#include "bitmend.h"

#include <cstdlib>

static char text[1 << 16];

// Room for count bytes, to be freed; null where memory cannot hold them.
static uint8_t *allocate_bytes(uint32_t count)
{
	return static_cast<uint8_t *>(malloc(count > 0 ? count : 1));
}

static int digit_value(char c)
{
	return hex_digit_value[static_cast<uint8_t>(c)];
}

const char *read_hex_input(uint32_t count, uint8_t **new_bytes,
                           uint8_t **expected)
{
	const char *no_memory = "\nNot Enough Memory!\n";
	uint8_t *bytes = *new_bytes = allocate_bytes(count);
	uint64_t digits = 0, needed = 2 * uint64_t{count};
	int high = 0;
	if (!bytes)
		return no_memory;
	for (;;) {
		int32_t got =
			read_input(reinterpret_cast<uint8_t *>(text), sizeof text);
		if (got < 0)
			return "\nCan't Read Standard Input!\n";
		if (got == 0)
			return digits < needed ? "\nNeed More HexNumber!\n" : nullptr;
		// Reading stops at the first character that cannot stand where it
		// does, so an endless stream that goes wrong ends.
		for (int32_t i = 0; i < got; i++) {
			char c = text[i];
			int digit = digit_value(c), low = 0;
			// Most pairs stand whole, with no white space inside.
			if (digits % 2 == 0 && digits < needed && i + 1 < got &&
			    (digit | (low = digit_value(text[i + 1]))) >= 0) {
				bytes[digits / 2] = static_cast<uint8_t>(digit * 16 + low);
				digits += 2;
				i++;
			} else if (c == ' ' || (c >= '\t' && c <= '\r')) {
				continue;
			} else if (digit >= 0 && digits < needed) {
				if (digits++ % 2 == 0)
					high = digit;
				else
					bytes[digits / 2 - 1] =
						static_cast<uint8_t>(high * 16 + digit);
			} else if (c == ':' && digits == needed && !*expected) {
				*expected = bytes;
				bytes = *new_bytes = allocate_bytes(count);
				if (!bytes)
					return no_memory;
				digits = 0;
			} else {
				return "\nHexNumber Error!\n";
			}
		}
	}
}
