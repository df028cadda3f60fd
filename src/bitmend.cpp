// The entry routine: banner, argument checks, one patch run.
#include "bitmend.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <new>

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

// Where HEXNUMBER's bytes come from: the word itself, the word as OLD:NEW,
// or standard input.
enum class hex_form { plain, expect, input };

static hex_form form_of(const char *hex, size_t hex_count)
{
	if (strcmp(hex, "-") == 0)
		return hex_form::input;
	return hex_count % 2 != 0 && hex[hex_count / 2] == ':' ? hex_form::expect
	                                                       : hex_form::plain;
}

// The message that refuses a call of four words or more, checked in this
// order, or null where they make a request.
static const char *refusal(char *argv[], hex_form form, uint64_t *address,
                           int32_t *length)
{
	const char *hex = argv[4];
	size_t hex_count = strlen(hex);
	bool negative;
	uint64_t size;
	if (form == hex_form::plain && hex_count % 2 != 0)
		return "\nHexNumber Error!\n";
	if (!read_decimal(argv[3], &negative, &size))
		return "\nLength Error!\n";
	*length = length_of(negative, size);
	if (form == hex_form::input) {
		// No command line bounds what standard input may hold.
		if ((negative && size != 0) || size > INT32_MAX)
			return "\nLength Error!\n";
	} else {
		size_t half = form == hex_form::expect ? hex_count / 2 : hex_count;
		if (!has_enough_hex(half, *length))
			return "\nNeed More HexNumber!\n";
		size_t digits = *length > 0 ? 2 * static_cast<size_t>(*length) : 0;
		if ((form == hex_form::expect &&
		     (half != static_cast<uint32_t>(*length) * 2u ||
		      !are_hex_digits(hex + half + 1, digits))) ||
		    !are_hex_digits(hex, digits))
			return "\nHexNumber Error!\n";
	}
	if (!read_decimal(argv[2], &negative, address))
		return "\nAddress Error!\n";
	if (!in_range(negative, *address, *length))
		return "\nAddress Out Of Range!\n";
	return nullptr;
}

static std::unique_ptr<uint8_t[]> decoded(const char *hex, uint32_t count)
{
	std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[count]);
	for (uint32_t i = 0; bytes && i < count; i++)
		bytes[i] = decode_hex_pair(hex + 2 * size_t{i});
	return bytes;
}

// The bytes of a checked request, then its run.
static void patch(char *argv[], const void *native_file, hex_form form,
                  uint64_t address, int32_t length)
{
	const char *hex = argv[4];
	uint32_t count = length > 0 ? static_cast<uint32_t>(length) : 0;
	std::unique_ptr<uint8_t[]> new_bytes, expected;
	if (form == hex_form::input) {
		if (const char *message = read_hex_input(count, new_bytes, expected)) {
			report(message);
			return;
		}
	} else if (form == hex_form::expect) {
		expected = decoded(hex, count);
		new_bytes = decoded(hex + strlen(hex) / 2 + 1, count);
	} else {
		new_bytes = decoded(hex, count);
	}
	if (!new_bytes || (form == hex_form::expect && !expected)) {
		report("\nNot Enough Memory!\n");
		return;
	}
	run_patch({argv[1], native_file}, address, length, new_bytes.get(),
	          expected.get());
}

int bitmend_main(int argc, char *argv[], const void *native_file)
{
	report("Bitmend v1.00 - patch bytes of a file in place\n"
	       "Writes Length bytes at decimal Address, two hex digits a byte\n");
	uint64_t address;
	int32_t length;
	if (argc < 5) {
		report("\nUsage: %s InputFile.bin Address Length HexNumber\n",
		       argc > 0 && argv[0] ? argv[0] : "bitmend");
	} else {
		hex_form form = form_of(argv[4], strlen(argv[4]));
		if (const char *message = refusal(argv, form, &address, &length))
			report(message);
		else
			patch(argv, native_file, form, address, length);
	}
	flush_report();
	return 0;
}
