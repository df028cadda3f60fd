// The entry routine: banner, argument checks, one patch run.
#include "bitmend.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

bool read_decimal(const char *text, bool *negative, uint64_t *size)
{
	while (isspace(static_cast<unsigned char>(*text)))
		text++;
	*negative = *text == '-';
	if (*text == '-' || *text == '+')
		text++;
	const char *digits = text;
	for (*size = 0; *text >= '0' && *text <= '9'; text++) {
		uint64_t digit = static_cast<uint64_t>(*text - '0');
		*size = *size > (UINT64_MAX - digit) / 10 ? UINT64_MAX
		                                          : *size * 10 + digit;
	}
	if (text == digits)
		return false;
	while (isspace(static_cast<unsigned char>(*text)))
		text++;
	return *text == '\0';
}

bool has_enough_hex(size_t hex_count, int32_t length)
{
	return hex_count >= static_cast<uint32_t>(length) * 2u;
}

// Length keeps its 32-bit reading, saturating at either end: past the top
// it asks for more digits than a command line holds, and past the bottom
// it patches nothing.
static int32_t length_of(bool negative, uint64_t size)
{
	if (negative)
		return size >= uint64_t{1} << 31 ? INT32_MIN
		                                 : -static_cast<int32_t>(size);
	return size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}

// Offsets reach INT64_MAX, and the last byte of a run may lie there.
static bool in_range(bool negative, uint64_t address, int32_t length)
{
	if ((negative && address != 0) || address > INT64_MAX)
		return false;
	return length <= 0 || address + static_cast<uint64_t>(length) <=
	                              uint64_t{INT64_MAX} + 1;
}

// A checked request: the bytes to write, and those the file must hold
// first (null for none), each length bytes; those of standard input are
// allocated, for the caller to free.
struct request {
	uint64_t address;
	int32_t length;
	uint8_t *new_bytes;
	uint8_t *expected;
	bool allocated;
};

// The bytes of a word, which a command line bounds: a fixed buffer spares
// a small patch the heap's system calls and page faults, a tenth of its
// time.
static uint8_t word_bytes[1 << 16];

// The message that refuses a call of four words or more, checked in this
// order, or null once the words, and standard input where they name it,
// make a request. The bytes are decoded as their digits are checked.
static const char *refusal(char *argv[], request &r)
{
	// HEXNUMBER's bytes come from the word, from the word as OLD:NEW, or
	// from standard input.
	const char *hex = argv[4];
	size_t hex_count = strlen(hex);
	bool input = strcmp(hex, "-") == 0;
	bool expect = !input && hex_count % 2 != 0 && hex[hex_count / 2] == ':';
	bool negative;
	uint64_t size;
	if (!input && !expect && hex_count % 2 != 0)
		return "\nHexNumber Error!\n";
	if (!read_decimal(argv[3], &negative, &size))
		return "\nLength Error!\n";
	r.length = length_of(negative, size);
	uint32_t count = r.length > 0 ? static_cast<uint32_t>(r.length) : 0;
	if (input) {
		// No command line bounds what standard input may hold.
		if ((negative && size != 0) || size > INT32_MAX)
			return "\nLength Error!\n";
	} else {
		size_t half = expect ? hex_count / 2 : hex_count;
		if (!has_enough_hex(half, r.length))
			return "\nNeed More HexNumber!\n";
		if ((expect ? 2 : 1) * uint64_t{count} > sizeof word_bytes)
			return "\nNot Enough Memory!\n";
		r.new_bytes = word_bytes;
		r.expected = expect ? word_bytes + count : nullptr;
		if ((expect && (half != static_cast<uint32_t>(r.length) * 2u ||
		                !decode_hex(hex, count, r.expected))) ||
		    !decode_hex(hex + (expect ? half + 1 : 0), count, r.new_bytes))
			return "\nHexNumber Error!\n";
	}
	if (!read_decimal(argv[2], &negative, &r.address))
		return "\nAddress Error!\n";
	if (!in_range(negative, r.address, r.length))
		return "\nAddress Out Of Range!\n";
	r.allocated = input;
	if (input)
		return read_hex_input(count, &r.new_bytes, &r.expected);
	return nullptr;
}

int bitmend_main(int argc, char *argv[], const void *native_file)
{
	report("Bitmend v1.00 - patch bytes of a file in place\n"
	       "Writes Length bytes at decimal Address, two hex digits a byte\n");
	request r = {};
	if (argc < 5)
		report("\nUsage: %s InputFile.bin Address Length HexNumber\n",
		       argc > 0 && argv[0] ? argv[0] : "bitmend");
	else if (const char *message = refusal(argv, r))
		report(message);
	else
		run_patch({argv[1], native_file}, r.address, r.length, r.new_bytes,
		          r.expected);
	if (r.allocated) {
		free(r.new_bytes);
		free(r.expected);
	}
	flush_report();
	return 0;
}
