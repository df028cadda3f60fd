// The platform layer on Windows: the command line read as Unicode, exactly
// the named file opened, only a plain file on a file system, with share
// mode none keeping every other process out, and a report in CR LF.
#include "bitmend.h"

#include <cstring>
#include <cwctype>
#include <string>
#include <vector>
#include <windows.h>

// The process's arguments. The file layer opens word 1 as the system gave
// it, in UTF-16; the run gets it in UTF-8, for the report.

static std::wstring typed_path;

static bool is_high_surrogate(wchar_t unit)
{
	return unit >= 0xd800 && unit < 0xdc00;
}

static bool is_low_surrogate(wchar_t unit)
{
	return unit >= 0xdc00 && unit < 0xe000;
}

// A lone surrogate, which UTF-8 cannot carry, becomes '?', which no Windows
// file name holds: such a path fails to open rather than naming another
// file.
static std::wstring without_lone_surrogates(const wchar_t *word)
{
	std::wstring text = word;
	for (size_t i = 0; i < text.size(); i++) {
		if (is_high_surrogate(text[i]) && is_low_surrogate(text[i + 1]))
			i++;
		else if (is_high_surrogate(text[i]) || is_low_surrogate(text[i]))
			text[i] = L'?';
	}
	return text;
}

static std::string utf8(const std::wstring &text)
{
	int length = static_cast<int>(text.size());
	int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
	                               length, nullptr, 0, nullptr, nullptr);
	std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
	WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length,
	                    &bytes[0], size, nullptr, nullptr);
	return bytes;
}

// Address, Length and HexNumber, as 8-bit text in which only ASCII means
// anything: any other character, a surrogate pair included, is one '?',
// which is neither a digit nor a hex digit, so no look-alike reads as what
// it resembles.
static std::string ascii_word(const wchar_t *word)
{
	std::string text;
	for (; *word; word++) {
		text += *word < 0x80 ? static_cast<char>(*word) : '?';
		if (is_high_surrogate(word[0]) && is_low_surrogate(word[1]))
			word++;
	}
	return text;
}

int wmain(int argc, wchar_t *argv[])
{
	std::vector<std::string> words;
	for (int i = 0; i < argc; i++) {
		if (i == 1)
			typed_path = without_lone_surrogates(argv[i]);
		words.push_back(i == 0   ? utf8(without_lone_surrogates(argv[i]))
		                : i == 1 ? utf8(typed_path)
		                         : ascii_word(argv[i]));
	}
	std::vector<char *> pointers;
	for (std::string &word : words)
		pointers.push_back(&word[0]);
	pointers.push_back(nullptr);
	prepare_process(argc > 1 ? pointers[1] : nullptr);
	return bitmend_main(argc, pointers.data());
}

static std::wstring wide(const char *text, size_t count)
{
	int size = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(count),
	                               nullptr, 0);
	std::wstring result(static_cast<size_t>(size), L'\0');
	MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(count), &result[0],
	                    size);
	return result;
}

// Interruptions held back: Ctrl-C, Ctrl-Break and closing the console wait
// until the report is out, then end the process as they would have.
// Windows ends a process about 5 s after a close, logoff or shutdown event
// whatever its handler does.

static volatile LONG interrupted;

static BOOL WINAPI hold_event(DWORD event)
{
	InterlockedExchange(&interrupted, 1);
	// Returning from these ends the process at once: wait for the run to
	// end it instead.
	if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT ||
	    event == CTRL_SHUTDOWN_EVENT)
		Sleep(INFINITE);
	return TRUE;
}

void hold_interruptions()
{
	SetConsoleCtrlHandler(hold_event, TRUE);
}

void release_interruptions()
{
	SetConsoleCtrlHandler(hold_event, FALSE);
	if (InterlockedCompareExchange(&interrupted, 0, 0))
		ExitProcess(STATUS_CONTROL_C_EXIT);
}

// What is refused by name, before anything is opened: the device
// namespace, the names Windows maps to devices, pipes and mailslots, and
// names that Win32 would open under another name.

static bool starts_with(const std::wstring &text, const wchar_t *prefix)
{
	size_t length = wcslen(prefix);
	if (text.size() < length)
		return false;
	for (size_t i = 0; i < length; i++) {
		wchar_t c = text[i] == L'/' ? L'\\' : text[i];
		if (towupper(c) != prefix[i])
			return false;
	}
	return true;
}

static std::wstring full_path(const std::wstring &path)
{
	DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
	std::wstring full(size, L'\0');
	DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
	full.resize(length < size ? length : 0);
	return full;
}

// \\?\ hands a path to the system as it stands, which reaches devices
// too: only a path on a drive, a share or a volume is a file's.
static bool is_verbatim_file_path(const std::wstring &path)
{
	bool on_drive = path.size() > 7 && iswalpha(path[4]) && path[5] == L':' &&
	                path[6] == L'\\';
	bool on_volume = starts_with(path, L"\\\\?\\VOLUME{") &&
	                 path.find(L"}\\", 11) != std::wstring::npos;
	return on_drive || on_volume || starts_with(path, L"\\\\?\\UNC\\");
}

// \\.\ and \??\ name devices, and Windows maps CON, NUL, COM1 and their
// kind to \\.\ in any folder and with any extension.
static bool names_a_device(const std::wstring &path, const std::wstring &full)
{
	if (starts_with(path, L"\\\\?\\"))
		return !is_verbatim_file_path(path);
	return starts_with(path, L"\\\\.\\") || starts_with(path, L"\\??\\") ||
	       full.empty() || starts_with(full, L"\\\\.\\");
}

// \\server\pipe\x and \\?\UNC\server\mailslot\x, on this machine or another:
// whoever serves them could answer as a file, or act as the one who runs
// the tool.
static bool names_a_pipe_or_mailslot(const std::wstring &path)
{
	size_t server = starts_with(path, L"\\\\?\\UNC\\") ? 8
	                : starts_with(path, L"\\\\")      ? 2
	                                                 : 0;
	size_t share = path.find_first_of(L"\\/", server);
	if (server == 0 || share == std::wstring::npos)
		return false;
	std::wstring rest = path.substr(share + 1) + L"\\";
	return starts_with(rest, L"PIPE\\") || starts_with(rest, L"MAILSLOT\\");
}

// Win32 strips a trailing dot or space from each part of a path, so that
// "s.bin." would open "s.bin". Only the \\?\ form, passed as it stands,
// opens such a name as typed; any other is refused.
static bool has_part_win32_strips(const std::wstring &path)
{
	if (starts_with(path, L"\\\\?\\"))
		return false;
	size_t start = 0;
	for (size_t end = 0; end <= path.size(); end++) {
		if (end < path.size() && path[end] != L'\\' && path[end] != L'/')
			continue;
		std::wstring part = path.substr(start, end - start);
		if (part != L"." && part != L".." && !part.empty() &&
		    (part.back() == L'.' || part.back() == L' '))
			return true;
		start = end + 1;
	}
	return false;
}

// Past MAX_PATH, which counts the terminating zero, only the \\?\ form of the
// full path reaches the file.
static std::wstring openable_path(const std::wstring &path,
                                  const std::wstring &full)
{
	if (full.size() < MAX_PATH || starts_with(path, L"\\\\?\\"))
		return path;
	if (starts_with(full, L"\\\\"))
		return L"\\\\?\\UNC\\" + full.substr(2);
	return L"\\\\?\\" + full;
}

// The name to open, or an empty one where the name alone is refused.
static std::wstring name_to_open(const std::wstring &path)
{
	std::wstring full = full_path(path);
	if (path.empty() || names_a_device(path, full) ||
	    has_part_win32_strips(path))
		return L"";
	std::wstring name = openable_path(path, full);
	return names_a_pipe_or_mailslot(name) ||
	                       names_a_pipe_or_mailslot(full)
	               ? L""
	               : name;
}

// What is refused once the name leads somewhere: anything but a plain,
// writable file on a file system, and the file that standard output
// writes to.

// GetFileAttributesW describes a FIFO, a device or a directory without
// opening it; a link it reports as what the link is.
static bool may_lead_to_file(const std::wstring &name)
{
	DWORD attributes = GetFileAttributesW(name.c_str());
	return attributes != INVALID_FILE_ATTRIBUTES &&
	       !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

// Raw volumes and disks open as FILE_TYPE_DISK too, but only a file has
// file information; a read-only file is refused as Windows refuses it to
// administrators.
static bool is_writable_file(HANDLE file)
{
	BY_HANDLE_FILE_INFORMATION information;
	return GetFileType(file) == FILE_TYPE_DISK &&
	       GetFileInformationByHandle(file, &information) &&
	       !(information.dwFileAttributes &
	         (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY |
	          FILE_ATTRIBUTE_DEVICE));
}

// A file's identity: its volume and 128-bit id. Where the volume cannot be
// had (Wine gives 0 for an inherited handle), the id with the size and the
// last write stand in for it.
struct file_identity {
	bool known;
	uint64_t volume;
	uint8_t id[16];
	int64_t size, written;
};

static file_identity identity_of(HANDLE file)
{
	file_identity who = {};
	FILE_ID_INFO id;
	FILE_STANDARD_INFO standard;
	FILE_BASIC_INFO basic;
	BY_HANDLE_FILE_INFORMATION information;
	if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id)) {
		who.volume = id.VolumeSerialNumber;
		memcpy(who.id, id.FileId.Identifier, sizeof who.id);
	} else if (GetFileInformationByHandle(file, &information)) {
		who.volume = information.dwVolumeSerialNumber;
		uint64_t index = uint64_t{information.nFileIndexHigh} << 32 |
		                 information.nFileIndexLow;
		memcpy(who.id, &index, sizeof index);
	} else {
		return who;
	}
	who.known = GetFileInformationByHandleEx(file, FileStandardInfo, &standard,
	                                         sizeof standard) &&
	            GetFileInformationByHandleEx(file, FileBasicInfo, &basic,
	                                         sizeof basic);
	who.size = standard.EndOfFile.QuadPart;
	who.written = basic.LastWriteTime.QuadPart;
	return who;
}

static bool output_writes_to(HANDLE file)
{
	HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
	if (GetFileType(output) != FILE_TYPE_DISK)
		return false;
	file_identity a = identity_of(output), b = identity_of(file);
	if (!a.known || !b.known || memcmp(a.id, b.id, sizeof a.id) != 0)
		return false;
	if (a.volume != 0 && b.volume != 0)
		return a.volume == b.volume;
	return a.size == b.size && a.written == b.written;
}

// Every open asks the other end not to act as the one who runs the tool.
constexpr DWORD anonymous = SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

// The file a name leads to, through any link, with no data access: what it
// reached is checked before data is asked for, and the data handle comes
// from this one, so that the file checked is the file written. Between the
// attribute query and this open the name can still change.
static HANDLE open_without_data(const std::wstring &path)
{
	std::wstring name = name_to_open(path);
	if (name.empty() || !may_lead_to_file(name))
		return INVALID_HANDLE_VALUE;
	HANDLE file = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
	                          FILE_SHARE_READ | FILE_SHARE_WRITE |
	                                  FILE_SHARE_DELETE,
	                          nullptr, OPEN_EXISTING, anonymous, nullptr);
	if (file != INVALID_HANDLE_VALUE && !is_writable_file(file)) {
		CloseHandle(file);
		return INVALID_HANDLE_VALUE;
	}
	return file;
}

// The process's setup: no dialogs, and a standard output that writes to
// the target gets nothing, compared before the first byte of output.

static bool report_dropped, target_refused;

void prepare_process(const char *path)
{
	// A missing disk or a failed open must not stop the run with a dialog.
	SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
	if (!path || GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_DISK)
		return;
	HANDLE file = open_without_data(typed_path);
	if (file != INVALID_HANDLE_VALUE && output_writes_to(file))
		report_dropped = target_refused = true;
	if (file != INVALID_HANDLE_VALUE)
		CloseHandle(file);
}

// Opening for exclusive use: share mode none, so that the open fails while
// another process has the file open and nobody opens it while it is held.

target_file open_exclusive(const char *, int64_t *size)
{
	if (target_refused)
		return no_target;
	HANDLE checked = open_without_data(typed_path);
	if (checked == INVALID_HANDLE_VALUE)
		return no_target;
	HANDLE file = INVALID_HANDLE_VALUE;
	if (output_writes_to(checked))
		report_dropped = true;
	else
		file = ReOpenFile(checked, GENERIC_READ | GENERIC_WRITE, 0, anonymous);
	CloseHandle(checked);
	LARGE_INTEGER file_size;
	if (file != INVALID_HANDLE_VALUE &&
	    (!is_writable_file(file) || !GetFileSizeEx(file, &file_size))) {
		CloseHandle(file);
		file = INVALID_HANDLE_VALUE;
	}
	if (file == INVALID_HANDLE_VALUE)
		return no_target;
	*size = file_size.QuadPart;
	return reinterpret_cast<target_file>(file);
}

// Share mode none holds for as long as the handle is open.
bool still_held(target_file)
{
	return true;
}

// Moving bytes: a single call each at an offset, which the patch run
// repeats while a transfer falls short.

static OVERLAPPED at_offset(uint32_t offset)
{
	OVERLAPPED place = {};
	place.Offset = offset;
	return place;
}

int32_t read_at(target_file file, uint32_t offset, uint8_t *bytes,
                uint32_t count)
{
	OVERLAPPED place = at_offset(offset);
	DWORD got = 0;
	if (!ReadFile(reinterpret_cast<HANDLE>(file), bytes, count, &got, &place))
		return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
	return static_cast<int32_t>(got);
}

int32_t write_at(target_file file, uint32_t offset, const uint8_t *bytes,
                 uint32_t count)
{
	OVERLAPPED place = at_offset(offset);
	DWORD put = 0;
	if (!WriteFile(reinterpret_cast<HANDLE>(file), bytes, count, &put, &place))
		return -1;
	return static_cast<int32_t>(put);
}

bool flush_target(target_file file)
{
	return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) != 0;
}

bool close_target(target_file file)
{
	return CloseHandle(reinterpret_cast<HANDLE>(file)) != 0;
}

// How the report leaves: UTF-16 to a console; to a file or a pipe, the ANSI
// code page with '?' for what it lacks, never a best-fit look-alike. Line
// feeds go out as CR LF either way. A pipe whose reader has gone has
// chosen not to read the rest; any other failure loses lines.

static bool reader_gone()
{
	DWORD error = GetLastError();
	return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA;
}

static bool write_all(HANDLE output, const char *bytes, size_t count)
{
	while (count > 0) {
		DWORD put = 0;
		if (!WriteFile(output, bytes, static_cast<DWORD>(count), &put,
		               nullptr))
			return reader_gone();
		if (put == 0)
			return false;
		bytes += put;
		count -= put;
	}
	return true;
}

bool write_report(const char *text, size_t count)
{
	if (report_dropped)
		return true;
	std::wstring lines;
	for (wchar_t c : wide(text, count)) {
		if (c == L'\n')
			lines += L'\r';
		lines += c;
	}
	HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
	DWORD mode;
	if (GetConsoleMode(output, &mode)) {
		for (size_t at = 0; at < lines.size();) {
			DWORD put = 0;
			if (!WriteConsoleW(output, lines.data() + at,
			                   static_cast<DWORD>(lines.size() - at), &put,
			                   nullptr) ||
			    put == 0)
				return false;
			at += put;
		}
		return true;
	}
	UINT code_page = GetACP();
	DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
	const char *unknown = code_page == CP_UTF8 ? nullptr : "?";
	int length = static_cast<int>(lines.size());
	int size = WideCharToMultiByte(code_page, flags, lines.data(), length,
	                               nullptr, 0, unknown, nullptr);
	std::string bytes(static_cast<size_t>(size), '\0');
	WideCharToMultiByte(code_page, flags, lines.data(), length, &bytes[0],
	                    size, unknown, nullptr);
	return write_all(output, bytes.data(), bytes.size());
}
