// The platform layer: all that differs between Linux and Windows.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <cstddef>
#include <cstdint>

// A file's name as the platform takes it, and the file held open.
struct native_name;
struct target_file;

// First thing: shuts other processes of the same user out and, on Linux,
// fills closed standard descriptors. True where standard output writes to
// the file that name leads to.
bool prepare_process(const native_name *name);
// From the open until the report is out, what would end the process waits.
void hold_interruptions();
void release_interruptions();

// An existing regular file opened to read and write, held for exclusive
// use, and its size; or none, and whether standard output writes to it.
struct opened_file { target_file *file; uint64_t size; bool output_is_target; };
opened_file open_exclusive(const native_name *name);
// False once others may have had the file, or its name leads elsewhere.
bool still_held(target_file *file, const native_name *name);
// One read or write at an offset: bytes moved, 0 at the end, -1 on failure.
int32_t transfer_at(target_file *file, uint64_t offset, uint8_t *bytes,
                    uint32_t count, bool writing);
bool flush_target(target_file *file); // to the storage device
bool close_target(target_file *file);

// Standard input: the bytes got, 0 at its end, -1 on failure.
int32_t read_input(uint8_t *bytes, uint32_t count);
// Writes text to standard output, waiting as it must; Windows holds back a
// split character. A reader gone away chose not to read the rest.
enum class output_result { written, reader_gone, failed };
output_result write_report(const char *text, size_t count);

#endif
