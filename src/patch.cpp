// The patch run: compare, read the old bytes, write the new, report each.
#include "extern.h"

#include <algorithm>
#include <cstring>

// Bytes per transfer, and between two looks at the hold: at most this many
// bytes whose lines a kill could lose.
constexpr uint32_t chunk_size = 32768;

// Moves count bytes through short transfers; returns how many moved.
static uint32_t transfer(target_file *file, uint64_t offset, uint8_t *bytes,
                         uint32_t count, bool writing)
{
	uint32_t done = 0;
	while (done < count) {
		int32_t moved = transfer_at(file, offset + done, bytes + done,
		                            count - done, writing);
		if (moved <= 0)
			break;
		done += static_cast<uint32_t>(moved);
	}
	return done;
}

// How many of count bytes at offset the file holds.
static uint32_t in_file(uint64_t file_size, uint64_t offset, uint32_t count)
{
	uint64_t rest = file_size > offset ? file_size - offset : 0;
	return rest < count ? static_cast<uint32_t>(rest) : count;
}

// The last read, of window_at to window_end: the ranges after it take their
// old bytes from it while each starts past the one before and ends inside
// it, so that nearby ranges cost one read. Off the stack, which may be small.
static uint8_t window[chunk_size];
static uint64_t window_at, window_end, taken_to;

// Reads count old bytes at offset into the window, zeros past the end; false
// where they disagree with the size (made up: no plain file), said if told.
static bool read_window(target_file *file, uint64_t file_size, uint64_t offset,
                        uint32_t count, bool reporting)
{
	// No read passes the last offset: there the write fails.
	uint64_t room = uint64_t{INT64_MAX} - offset;
	uint32_t got = transfer(file, offset, window,
	                        room < count ? static_cast<uint32_t>(room) : count,
	                        false);
	uint32_t kept = in_file(file_size, offset, count);
	window_at = offset;
	window_end = offset + count; // a failed read ends the run
	if (got == kept)
		memset(window + kept, 0, count - kept);
	else if (reporting)
		report(messages::cant_read, offset + (got < kept ? got : kept));
	return got == kept;
}

// count old bytes at offset, zeros past the end, from the window, else read
// ahead to the file's end where ranges follow; null after reporting why not.
static const uint8_t *old_bytes(target_file *file, uint64_t file_size,
                                uint64_t offset, uint32_t count, bool ahead)
{
	if (offset < taken_to || offset + count > window_end) {
		uint32_t span = std::max(count, ahead ? in_file(file_size, offset, chunk_size) : 0);
		if (!read_window(file, file_size, offset, span, false) &&
		    !read_window(file, file_size, offset, count, true))
			return nullptr;
	}
	taken_to = offset + count;
	return window + (offset - window_at);
}

// The first byte of a range that holds neither its OLD nor its NEW.
struct difference { uint64_t offset; bool in_file; uint8_t found, wanted; };

// What the file holds under each OLD, before a byte is written (a byte whose
// OLD is its NEW is either). A run cut off anywhere leaves some bytes OLD and
// some NEW, for the same call to finish; where all hold NEW, the patch is in,
// or a list with plain ranges is run again.
enum file_state { holds_old, holds_new, rerun, partly_new, holds_other, unreadable };

static file_state compare(target_file *file, uint64_t file_size,
                          patch_list list, difference *first)
{
	bool some_old = false, some_new = false, all_guarded = true;
	for (size_t r = 0; r < list.count; r++) {
		const patch_range &range = list.ranges[r];
		const uint8_t *old = list.pool + range.at, *now = old + range.length;
		all_guarded = all_guarded && range.has_old;
		for (uint32_t done = 0; range.has_old && done < range.length;
		     done += chunk_size) {
			uint64_t offset = range.address + done;
			uint32_t count = std::min(range.length - done, chunk_size);
			const uint8_t *found =
				old_bytes(file, file_size, offset, count, r + 1 < list.count);
			if (!found)
				return unreadable;
			uint32_t kept = in_file(file_size, offset, count);
			bool whole = kept == count;
			bool is_old = whole && memcmp(found, old + done, count) == 0;
			bool is_new = (!is_old || !some_old) && whole &&
			              memcmp(found, now + done, count) == 0;
			for (uint32_t i = 0; !is_old && !is_new && i < count; i++)
				if (i >= kept || (found[i] != old[done + i] &&
				                  found[i] != now[done + i])) {
					*first = {offset + i, i < kept, found[i], old[done + i]};
					return holds_other;
				}
			// A block of both kinds holds a byte of each.
			some_old = some_old || !is_new;
			some_new = some_new || !is_old;
		}
	}
	if (!some_new)
		return holds_old;
	if (!some_old)
		return all_guarded ? holds_new : rerun;
	return partly_new;
}

static void report_mismatch(const difference &first)
{
	report(messages::mismatch_at, first.offset);
	first.in_file ? report(messages::found, first.found)
	              : report(messages::found_end);
	report(messages::expected, first.wanted);
}

// A run, from the open to the close.
struct patch_run {
	target_file *file;
	target_name name;
	uint64_t file_size; // what a later range reads, grown by earlier ones
	bool finishing;     // the file may hold NEW already: old values are read
	bool started;       // a block has been let through
	uint32_t unlooked;  // bytes let through since the last look
};

// Before a block: once a block's worth has been written since the last
// look, its lines went out and the file is still held. False if not.
static bool gate(patch_run &run, uint64_t offset, uint32_t count)
{
	if (run.started && run.unlooked + count <= chunk_size) {
		run.unlooked += count;
		return true;
	}
	if (run.started && !flush_report()) {
		report(messages::cant_write, offset);
		return false;
	}
	if (!still_held(run.file, run.name.native)) {
		report(messages::cant_hold, run.name.shown);
		return false;
	}
	run.started = true;
	run.unlooked = count;
	return true;
}

// Patches a block of range; each byte is written before its line is
// gathered. False after reporting a failure.
static bool patch_block(patch_run &run, const patch_range &range,
                        uint8_t *pool, uint32_t first, bool ahead)
{
	uint64_t offset = range.address + first;
	uint32_t count = std::min(range.length - first, chunk_size);
	bool read_old = !range.has_old || run.finishing;
	const uint8_t *old = read_old
		? old_bytes(run.file, run.file_size, offset, count, ahead)
		: pool + range.at + first;
	uint8_t *new_bytes =
		pool + range.at + (range.has_old ? range.length : 0) + first;
	if (!old || !gate(run, offset, count))
		return false;
	uint32_t written = transfer(run.file, offset, new_bytes, count, true);
	if (offset + written > run.file_size)
		run.file_size = offset + written;
	report_bytes(first, offset, old, new_bytes, written, true);
	if (written < count) {
		report_bytes(first + written, offset + written, old + written,
		             new_bytes + written, 1, false);
		report(messages::cant_write, offset + written);
		return false;
	}
	return true;
}

static void patch_file(target_name name, patch_list list)
{
	opened_file opened = open_exclusive(name.native);
	if (opened.output_is_target)
		drop_report();
	if (!opened.file) {
		report(messages::cant_open, name.shown);
		return;
	}
	patch_run run = {opened.file, name, opened.size, false, false, 0};
	window_end = 0; // no read of another run's holds the bytes
	difference first = {};
	file_state state = compare(run.file, run.file_size, list, &first);
	run.finishing = state == partly_new || state == rerun;
	if (state == holds_new)
		report(messages::already_patched);
	else if (state == holds_other)
		report_mismatch(first);
	else if (state == partly_new)
		report(messages::finishing);
	if (state != holds_old && !run.finishing) {
		close_target(run.file);
		return;
	}
	bool patched = true;
	uint64_t reached = 0;
	for (size_t r = 0; patched && r < list.count; r++) {
		const patch_range &range = list.ranges[r];
		report_seeking(range.address);
		for (uint32_t done = 0; patched && done < range.length;
		     done += chunk_size)
			patched = patch_block(run, range, list.pool, done, r + 1 < list.count);
		reached = range.address + range.length;
	}
	// What was written before a failure is worth keeping too.
	bool flushed = flush_target(run.file);
	bool held = still_held(run.file, name.native);
	bool closed = close_target(run.file);
	if (!patched)
		return;
	if (!flushed)
		report(messages::cant_flush, name.shown);
	else if (!closed)
		report(messages::cant_close, name.shown);
	else if (!held)
		report(messages::cant_hold, name.shown);
	else if (!flush_report()) // a lost block of lines undoes nothing
		report(messages::cant_write, reached);
	else
		report(messages::done);
}

void run_patch(target_name file, patch_list list)
{
	hold_interruptions();
	patch_file(file, list);
	flush_report();
	release_interruptions();
}
