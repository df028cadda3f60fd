// HEXNUMBER from standard input, decoded as it is read: only the bytes are
// kept, never the text.
#include "bitmend.h"

static char text[1 << 16];
static uint32_t text_at, text_end;
static bool read_failed;

// The next character of standard input that is not white space; -1 at its
// end, or once a read has failed.
static int next_character()
{
	for (;;) {
		while (text_at < text_end) {
			char c = text[text_at++];
			if (c != ' ' && (c < '\t' || c > '\r'))
				return static_cast<unsigned char>(c);
		}
		int32_t got = read_input(reinterpret_cast<uint8_t *>(text), sizeof text);
		if (got <= 0) {
			read_failed = got < 0;
			return -1;
		}
		text_at = 0;
		text_end = static_cast<uint32_t>(got);
	}
}

// Why the character c, where a hex digit was needed, ends the input.
static const char *refusal_at(int c)
{
	if (read_failed)
		return "\nCan't Read Standard Input!\n";
	return c < 0 ? "\nNeed More HexNumber!\n" : "\nHexNumber Error!\n";
}

static int digit_of(int c)
{
	return c < 0 ? -1 : hex_digit(static_cast<char>(c));
}

// Decodes count bytes, two digits each; reading stops at the first
// character that is no digit, so an endless stream that goes wrong ends.
static const char *read_bytes(uint8_t *bytes, uint32_t count)
{
	for (uint32_t i = 0; i < count; i++) {
		// Most pairs stand whole in the buffer, no white space inside.
		if (text_end - text_at >= 2) {
			int high = hex_digit(text[text_at]), low = hex_digit(text[text_at + 1]);
			if ((high | low) >= 0) {
				bytes[i] = static_cast<uint8_t>(high * 16 + low);
				text_at += 2;
				continue;
			}
		}
		int high = next_character(), high_value = digit_of(high);
		if (high_value < 0)
			return refusal_at(high);
		int low = next_character(), low_value = digit_of(low);
		if (low_value < 0)
			return refusal_at(low);
		bytes[i] = static_cast<uint8_t>(high_value * 16 + low_value);
	}
	return nullptr;
}

const char *read_hex_input(uint32_t count, uint8_t **new_bytes,
                           uint8_t **expected)
{
	const char *no_memory = "\nNot Enough Memory!\n";
	text_at = text_end = 0;
	read_failed = false;
	uint8_t *first = *new_bytes = allocate_bytes(count);
	if (!first)
		return no_memory;
	if (const char *message = read_bytes(first, count))
		return message;
	int after = next_character();
	if (after == ':') {
		*expected = first;
		*new_bytes = allocate_bytes(count);
		if (!*new_bytes)
			return no_memory;
		if (const char *message = read_bytes(*new_bytes, count))
			return message;
		after = next_character();
	}
	if (after >= 0)
		return "\nHexNumber Error!\n";
	return read_failed ? "\nCan't Read Standard Input!\n" : nullptr;
}
