// The patch run: read the old bytes, write the new ones, report each byte.
#include "bitmend.h"

#include <cstring>

// Bytes moved per positioned read and write: few system calls for a long
// patch, a small fixed buffer for any length, and at most this many bytes
// in the file whose lines a kill could still lose.
constexpr uint32_t chunk_size = 32768;

// Off the stack, which may be small; the run has one thread.
static uint8_t old_bytes[chunk_size];

// Reads up to count old bytes from offset, through short reads, until the
// end of the file; done tells how many. False when a read fails.
static bool read_old(target_file file, uint64_t offset, uint32_t count,
                     uint32_t &done)
{
	for (done = 0; done < count;) {
		int32_t got = read_at(file, offset + done, old_bytes + done,
		                      count - done);
		if (got <= 0)
			return got == 0;
		done += static_cast<uint32_t>(got);
	}
	return true;
}

// Writes count new bytes at offset, through short writes; done tells how
// many. False when a write fails.
static bool write_new(target_file file, uint64_t offset,
                      const uint8_t *new_bytes, uint32_t count, uint32_t &done)
{
	for (done = 0; done < count;) {
		int32_t put = write_at(file, offset + done, new_bytes + done,
		                       count - done);
		if (put <= 0)
			return false;
		done += static_cast<uint32_t>(put);
	}
	return true;
}

// Reads the old value of each of count bytes from offset; past the end of
// the file lies a hole, which reads as zeros. Returns how many are in the
// file, or reports why not and returns -1.
static int64_t read_block(target_file file, uint64_t file_size,
                          uint64_t offset, uint32_t count)
{
	// The system refuses a read that would pass the largest offset, where no
	// file has bytes: there the write is what fails.
	uint64_t room = uint64_t{INT64_MAX} - offset;
	uint32_t read_count;
	bool read_ok = read_old(file, offset,
	                        room < count ? static_cast<uint32_t>(room) : count,
	                        read_count);
	// A file whose reads disagree with its size is no plain file: its
	// "bytes" are made up as they are read.
	uint64_t rest = file_size > offset ? file_size - offset : 0;
	uint32_t in_file = rest < count ? static_cast<uint32_t>(rest) : count;
	if (!read_ok || read_count != in_file) {
		report("\nCan't Read 0x%x!\n",
		       offset + (read_count < in_file ? read_count : in_file));
		return -1;
	}
	memset(old_bytes + read_count, 0, count - read_count);
	return in_file;
}

static uint32_t block_at(uint32_t total, uint32_t done)
{
	return total - done < chunk_size ? total - done : chunk_size;
}

// Whether the file holds expected at each of total bytes from address,
// read before anything is written. Reports the first byte that differs.
static bool holds(target_file file, uint64_t file_size, uint64_t address,
                  uint32_t total, const uint8_t *expected)
{
	for (uint32_t done = 0; done < total; done += chunk_size) {
		uint32_t count = block_at(total, done);
		uint64_t offset = address + done;
		int64_t in_file = read_block(file, file_size, offset, count);
		if (in_file < 0)
			return false;
		if (in_file == count &&
		    memcmp(old_bytes, expected + done, count) == 0)
			continue;
		for (uint32_t i = 0; i < count; i++) {
			if (i < in_file && old_bytes[i] == expected[done + i])
				continue;
			report("\nMismatch At 0x%x", offset + i);
			if (i < in_file)
				report(": Found 0x%x", old_bytes[i]);
			else
				report(": Found End Of File");
			report(", Expected 0x%x!\n", expected[done + i]);
			return false;
		}
	}
	return true;
}

// The gate before each block is written: the lines of the blocks before it
// have gone out, and the file is still held and named. Reports why not.
static bool may_write_block(target_file file, target_name name,
                            uint64_t offset, bool first)
{
	if (!first && !flush_report()) {
		report("\nCan't Write 0x%x!\n", offset);
		return false;
	}
	if (!still_held(file, name.native)) {
		report("\nCan't Hold %s!\n", name.text);
		return false;
	}
	return true;
}

// Patches count bytes from offset, whose first byte is number first_index
// of the run. Every byte reported OK has been handed to the system before
// its line is gathered. Returns false after reporting a failure.
static bool patch_chunk(target_file file, target_name name,
                        uint64_t &file_size, uint64_t offset,
                        uint32_t first_index, uint32_t count,
                        const uint8_t *new_bytes)
{
	// Nothing of a block is written without the old value of each byte.
	if (read_block(file, file_size, offset, count) < 0 ||
	    !may_write_block(file, name, offset, first_index == 0))
		return false;
	uint32_t written;
	bool write_ok = write_new(file, offset, new_bytes, count, written);
	if (offset + written > file_size)
		file_size = offset + written;
	report_bytes(first_index, offset, old_bytes, new_bytes, written, true);
	if (!write_ok) {
		report_bytes(first_index + written, offset + written,
		             old_bytes + written, new_bytes + written, 1, false);
		report("\nCan't Write 0x%x!\n", offset + written);
		return false;
	}
	return true;
}

static void patch_file(target_name name, uint64_t address, int32_t length,
                       const uint8_t *new_bytes, const uint8_t *expected)
{
	uint64_t file_size = 0;
	target_file file = open_exclusive(name.native, &file_size);
	if (file == no_target) {
		report("\nCan't Open %s!\n", name.text);
		return;
	}
	uint32_t total = length > 0 ? static_cast<uint32_t>(length) : 0;
	if (expected && !holds(file, file_size, address, total, expected)) {
		close_target(file);
		return;
	}
	report("\nSeeking To 0x%x, Patching...\n\n", address);

	bool patched = true;
	for (uint32_t done = 0; patched && done < total; done += chunk_size)
		patched = patch_chunk(file, name, file_size, address + done, done,
		                      block_at(total, done), new_bytes + done);
	// What was written before a failure is worth keeping too.
	bool flushed = flush_target(file);
	bool held = still_held(file, name.native);
	bool closed = close_target(file);
	if (!patched)
		return;
	if (!flushed)
		report("\nCan't Flush %s!\n", name.text);
	else if (!closed)
		report("\nCan't Close %s!\n", name.text);
	else if (!held)
		report("\nCan't Hold %s!\n", name.text);
	else
		report("\nDone!\n");
}

void run_patch(target_name file, uint64_t address, int32_t length,
               const uint8_t *new_bytes, const uint8_t *expected)
{
	hold_interruptions();
	patch_file(file, address, length, new_bytes, expected);
	flush_report();
	release_interruptions();
}
