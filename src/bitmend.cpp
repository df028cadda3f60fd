// The entry routine: banner, argument checks, one patch run.
#include "bitmend.h"

#include <cstdlib>
#include <cstring>

int32_t read_decimal32(const char *text)
{
	// long may be 64 bits wide here; clamping gives what a 32-bit long
	// saturates to.
	long value = strtol(text, nullptr, 10);
	if (value > INT32_MAX)
		return INT32_MAX;
	if (value < INT32_MIN)
		return INT32_MIN;
	return static_cast<int32_t>(value);
}

bool has_enough_hex(size_t hex_count, int32_t length)
{
	uint32_t needed = static_cast<uint32_t>(length) * 2u;
	return hex_count >= needed;
}

static void check_and_run(int argc, char *argv[])
{
	report("Bitmend v1.00 - patch bytes of a file in place\n"
	       "Writes Length bytes at decimal Address, two hex digits a byte\n");
	if (argc < 5) {
		report("\nUsage: %s InputFile.bin Address Length HexNumber\n",
		       argc > 0 && argv[0] ? argv[0] : "bitmend");
		return;
	}
	size_t hex_count = strlen(argv[4]);
	if (hex_count % 2 != 0) {
		report("\nHexNumber Error!\n");
		return;
	}
	int32_t length = read_decimal32(argv[3]);
	if (!has_enough_hex(hex_count, length)) {
		report("\nNeed More HexNumber!\n");
		return;
	}
	int32_t address = read_decimal32(argv[2]);
	run_patch(argv[1], address, length, argv[4]);
}

int bitmend_main(int argc, char *argv[])
{
	check_and_run(argc, argv);
	flush_report();
	return 0;
}
