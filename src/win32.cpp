// The platform layer on Windows: the command line read as Unicode, exactly
// the named file opened, only a file on a file system, with share mode none
// keeping every other process out, and a report in CR LF.
#include "bitmend.h"

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>
#include <windows.h>

// The process's setup and its arguments.

void prepare_process(const char *)
{
	// A missing disk or a failed open must not stop the run with a dialog.
	SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

constexpr uint32_t lone_surrogate = 0x110000; // beyond every code point

// Each code point of a UTF-16 word.
template <typename visit>
static void for_each_code_point(const wchar_t *word, visit use)
{
	for (; *word; word++) {
		uint32_t unit = static_cast<uint16_t>(word[0]);
		uint32_t next = static_cast<uint16_t>(word[1]);
		if (unit >= 0xd800 && unit < 0xdc00 && next >= 0xdc00 && next < 0xe000) {
			use(0x10000 + ((unit - 0xd800) << 10) + (next - 0xdc00));
			word++;
		} else {
			use(unit >= 0xd800 && unit < 0xe000 ? lone_surrogate : unit);
		}
	}
}

// Paths and the program's name, as UTF-8. A lone surrogate, which UTF-8
// cannot carry, becomes '?', which no Windows file name holds: such a path
// fails to open rather than naming another file.
static std::string utf8_word(const wchar_t *word)
{
	static const unsigned char lead[] = {0, 0xc0, 0xe0, 0xf0};
	std::string text;
	for_each_code_point(word, [&](uint32_t code) {
		if (code == lone_surrogate) {
			text += '?';
		} else if (code < 0x80) {
			text += static_cast<char>(code);
		} else {
			int tail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
			text += static_cast<char>(lead[tail] | (code >> (6 * tail)));
			for (int i = tail - 1; i >= 0; i--)
				text += static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3f));
		}
	});
	return text;
}

// Address, Length and HexNumber, as 8-bit text in which only ASCII means
// anything: any other character is one '?', which is neither a digit nor a
// hex digit, so no look-alike reads as what it resembles.
static std::string ascii_word(const wchar_t *word)
{
	std::string text;
	for_each_code_point(word, [&](uint32_t code) {
		text += code < 0x80 ? static_cast<char>(code) : '?';
	});
	return text;
}

int wmain(int argc, wchar_t *argv[])
{
	std::vector<std::string> words;
	for (int i = 0; i < argc; i++)
		words.push_back(i < 2 ? utf8_word(argv[i]) : ascii_word(argv[i]));
	std::vector<char *> pointers;
	for (std::string &word : words)
		pointers.push_back(&word[0]);
	pointers.push_back(nullptr);
	prepare_process(argc > 1 ? pointers[1] : nullptr);
	return bitmend_main(argc, pointers.data());
}

static std::wstring wide(const char *utf8, size_t count)
{
	int size = MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(count),
	                               nullptr, 0);
	std::wstring text(static_cast<size_t>(size), L'\0');
	MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(count), &text[0],
	                    size);
	return text;
}

// Interruptions held back: Ctrl-C, Ctrl-Break and closing the console wait
// until the report is out, then end the process as they would have.

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

// What is refused: the device namespace and DOS device names before any
// open, and after it anything that is not a writable file on a file system.

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

// \\?\ hands a path to the system as it stands, which reaches devices too:
// only a path on a drive, a share or a volume passes. \\.\ and \??\ name
// devices, and Windows maps CON, NUL, COM1 and their kind to \\.\ in any
// folder and with any extension.
static bool names_a_device(const std::wstring &path, const std::wstring &full)
{
	if (path.compare(0, 4, L"\\\\?\\") == 0)
		return !((path.size() > 7 && iswalpha(path[4]) && path[5] == L':' &&
		          path[6] == L'\\') ||
		         starts_with(path, L"\\\\?\\UNC\\") ||
		         (starts_with(path, L"\\\\?\\VOLUME{") &&
		          path.find(L"}\\", 11) != std::wstring::npos));
	return starts_with(path, L"\\\\.\\") || starts_with(path, L"\\\\?\\") ||
	       starts_with(path, L"\\??\\") || full.empty() ||
	       starts_with(full, L"\\\\.\\");
}

// Past MAX_PATH only the \\?\ form of the full path reaches the file.
static std::wstring openable_path(const std::wstring &path,
                                  const std::wstring &full)
{
	if (path.size() < MAX_PATH || starts_with(path, L"\\\\?\\"))
		return path;
	if (starts_with(full, L"\\\\"))
		return L"\\\\?\\UNC\\" + full.substr(2);
	return L"\\\\?\\" + full;
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

// Opening for exclusive use: share mode none, so that the open fails while
// another process has the file open and nobody opens it while it is held.

target_file open_exclusive(const char *path, int64_t *size)
{
	std::wstring name = wide(path, strlen(path));
	std::wstring full = full_path(name);
	if (name.empty() || names_a_device(name, full))
		return no_target;
	HANDLE file = CreateFileW(openable_path(name, full).c_str(),
	                          GENERIC_READ | GENERIC_WRITE, 0, nullptr,
	                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (file == INVALID_HANDLE_VALUE)
		return no_target;
	LARGE_INTEGER file_size;
	if (!is_writable_file(file) || !GetFileSizeEx(file, &file_size)) {
		CloseHandle(file);
		return no_target;
	}
	*size = file_size.QuadPart;
	return reinterpret_cast<target_file>(file);
}

// Share mode none holds for as long as the handle is open.
bool still_held(target_file)
{
	return true;
}

// Positioned reads and writes, flushing and closing.

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
