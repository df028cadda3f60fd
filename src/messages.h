// Every message the tool prints, once: the man page check reads them here.
#ifndef MESSAGES_H
#define MESSAGES_H

// What a message takes between its text and the rest.
enum class takes { nothing, name, decimal, hex };

struct message { const char *text; takes what = takes::nothing; const char *rest = ""; };

namespace messages {
inline constexpr message banner = {"Bitmend v1.00 - patch bytes of a file in place\n"
                                   "Writes Length bytes at decimal Address, two hex digits a byte\n"};
inline constexpr message usage = {"\nUsage: ", takes::name,
                                  " InputFile.bin Address Length HexNumber\n"};
inline constexpr message hex_error = {"\nHexNumber Error!\n"};
inline constexpr message length_error = {"\nLength Error!\n"};
inline constexpr message need_more = {"\nNeed More HexNumber!\n"};
inline constexpr message address_error = {"\nAddress Error!\n"};
inline constexpr message out_of_range = {"\nAddress Out Of Range!\n"};
inline constexpr message cant_read_input = {"\nCan't Read Standard Input!\n"};
inline constexpr message no_memory = {"\nNot Enough Memory!\n"};
inline constexpr message address_error_at = {"\nAddress Error At Line ", takes::decimal, "!\n"};
inline constexpr message address_out_of_range_at = {"\nAddress Out Of Range At Line ",
                                                    takes::decimal, "!\n"};
inline constexpr message hex_error_at = {"\nHexNumber Error At Line ", takes::decimal, "!\n"};
inline constexpr message list_ends_inside = {"\nList Ends Inside Line ", takes::decimal, "!\n"};
inline constexpr message overlap = {"\nOverlap At 0x", takes::hex, "!\n"};
inline constexpr message cant_open = {"\nCan't Open ", takes::name, "!\n"};
inline constexpr message mismatch_at = {"\nMismatch At 0x", takes::hex};
inline constexpr message found = {": Found 0x", takes::hex};
inline constexpr message found_end = {": Found End Of File"};
inline constexpr message expected = {", Expected 0x", takes::hex, "!\n"};
inline constexpr message already_patched = {"\nAlready Patched!\n"};
inline constexpr message finishing = {"\nPartly Patched, Finishing...\n"};
inline constexpr message seeking = {"\nSeeking To 0x", takes::hex, ", Patching...\n\n"};
// A byte's line: (INDEX).Offset 0xOFFSET:  [0xOLD]->[0xNEW]...OK
inline constexpr char index[] = "(", offset[] = ").Offset 0x", old_value[] = ":  [0x",
                      new_value[] = "]->[0x", line_end[] = "]...", ok[] = "OK\n";
inline constexpr message cant_read = {"\nCan't Read 0x", takes::hex, "!\n"};
inline constexpr message cant_write = {"\nCan't Write 0x", takes::hex, "!\n"};
inline constexpr message cant_hold = {"\nCan't Hold ", takes::name, "!\n"};
inline constexpr message cant_flush = {"\nCan't Flush ", takes::name, "!\n"};
inline constexpr message cant_close = {"\nCan't Close ", takes::name, "!\n"};
inline constexpr message done = {"\nDone!\n"};
} // namespace messages

#endif
