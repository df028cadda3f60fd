// The platform layer on Windows: a plain file opened by the \\?\ form of its
// full path with share mode none.
#include "extern.h"

#include <cstring>
#include <string>
#include <vector>
#include <windows.h>
#include <aclapi.h>
#include <tlhelp32.h>

// Word 1 is opened as given, in UTF-16, and shown in UTF-8. An ANSI code
// page shows '?' for what it lacks, never a best-fit look-alike.
static std::string narrow(UINT code_page, const std::wstring &text)
{
	DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
	const char *unknown = code_page == CP_UTF8 ? nullptr : "?";
	int length = static_cast<int>(text.size());
	int size = WideCharToMultiByte(code_page, flags, text.data(), length,
	                               nullptr, 0, unknown, nullptr);
	std::string bytes(static_cast<size_t>(size), '\0');
	WideCharToMultiByte(code_page, flags, text.data(), length, &bytes[0], size,
	                    unknown, nullptr);
	return bytes;
}

// The other words in ASCII, '?' for any other character: no look-alike digit.
static std::string ascii_word(const wchar_t *word)
{
	std::string text;
	for (; *word; word++) {
		text += *word < 0x80 ? static_cast<char>(*word) : '?';
		if (IS_HIGH_SURROGATE(word[0]) && IS_LOW_SURROGATE(word[1]))
			word++;
	}
	return text;
}

// A file's name is its path as typed, and a held file its handle.
struct native_name { const wchar_t *path; };
struct target_file { HANDLE handle; };

int wmain(int argc, wchar_t *argv[])
{
	std::vector<std::string> words(static_cast<size_t>(argc));
	std::vector<char *> pointers(words.size() + 1); // ending in a null
	for (size_t i = 0; i < words.size(); i++) {
		words[i] = i < 2 ? narrow(CP_UTF8, argv[i]) : ascii_word(argv[i]);
		pointers[i] = &words[i][0];
	}
	native_name name = {argc > 1 ? argv[1] : nullptr};
	bool output_is_target = prepare_process(&name);
	return bitmend_main(argc, pointers.data(), &name, output_is_target);
}

// Interruptions held back: console events wait for the report, then end
// the process (Windows ends it 5 s after a close anyway).

static volatile LONG interrupted;

static BOOL WINAPI hold_event(DWORD event)
{
	InterlockedExchange(&interrupted, 1);
	// Returning from these ends the process at once: the run ends it.
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

// What is refused, in the order it is checked:
// - any file, where other processes of the same user could not be shut
//   out of this one (prepare_process);
// - any file, while standard output writes to the file that the name opens
//   as typed, or that Win32 makes of it (prepare_process);
// - a name part that ends in a dot or a space, which Win32 strips ("s.bin."
//   would open "s.bin"); only the \\?\ form names such a file;
// - a full path not on a drive, a share (not PIPE or MAILSLOT) or a volume:
//   the device namespace, device names (CON, COM1.bin), pipes, mailslots;
// - a directory or a device, told by GetFileAttributesW before any open;
// - through any link, anything but a disk file with file information, or a
//   file with the read-only attribute, as Windows refuses it to all;
// - standard output's own file, where the name leads there only now, and
//   standard input's, which Wine's share modes miss for Linux processes;
// - a file open elsewhere: share mode none.

static bool starts_with(const std::wstring &text, const wchar_t *prefix)
{
	return _wcsnicmp(text.c_str(), prefix, wcslen(prefix)) == 0;
}

// The \\?\ form of a name's full path; empty unless on a drive, a share or
// a volume.
static std::wstring verbatim_path(const std::wstring &name)
{
	std::wstring full = name;
	if (!starts_with(name, L"\\\\?\\")) {
		DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
		full.assign(size, L'\0');
		DWORD length = GetFullPathNameW(name.c_str(), size, &full[0], nullptr);
		full.resize(length < size ? length : 0);
		full = starts_with(full, L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2)
		                                : L"\\\\?\\" + full;
	}
	wchar_t drive = full.size() > 7 ? full[4] | 0x20 : 0;
	if ((drive >= L'a' && drive <= L'z' && full.compare(5, 2, L":\\") == 0) ||
	    (starts_with(full, L"\\\\?\\Volume{") &&
	     full.find(L"}\\") != std::wstring::npos))
		return full;
	// \\?\UNC\server\share\..., whose server could act as the user.
	size_t share = full.find(L'\\', 8);
	size_t rest = share == std::wstring::npos ? share : full.find(L'\\', share + 1);
	if (!starts_with(full, L"\\\\?\\UNC\\") || rest == std::wstring::npos)
		return L"";
	std::wstring server = full.substr(8, share - 8);
	std::wstring shared = full.substr(share + 1, rest - share - 1);
	if (server.empty() || server == L"." || server == L"?" ||
	    _wcsicmp(shared.c_str(), L"PIPE") == 0 ||
	    _wcsicmp(shared.c_str(), L"MAILSLOT") == 0)
		return L"";
	return full;
}

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

static std::wstring name_to_open(const std::wstring &typed)
{
	return has_part_win32_strips(typed) ? L"" : verbatim_path(typed);
}

// Every open asks the other end not to act as the one who runs the tool.
constexpr DWORD anonymous = SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

// The file a name leads to, with no data access, to check and then reopen.
static HANDLE open_without_data(const std::wstring &name)
{
	DWORD attributes = GetFileAttributesW(name.c_str());
	if (attributes == INVALID_FILE_ATTRIBUTES ||
	    (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
		return INVALID_HANDLE_VALUE;
	return CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
	                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
	                   nullptr, OPEN_EXISTING, anonymous, nullptr);
}

// The process's setup.
static bool unguarded;

// A protected DACL on object, or as a token's default, granting rights to
// the user and OWNER RIGHTS (taking the owner's implicit WRITE_DAC) alone.
static bool grant_only(HANDLE object, PSID user, DWORD rights, bool as_default)
{
	SID owner = {SID_REVISION, 1, SECURITY_CREATOR_SID_AUTHORITY,
	             {SECURITY_CREATOR_OWNER_RIGHTS_RID}};
	alignas(4) unsigned char room[128];
	ACL *acl = reinterpret_cast<ACL *>(room);
	TOKEN_DEFAULT_DACL later = {acl};
	DWORD part = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
	return InitializeAcl(acl, sizeof room, ACL_REVISION) &&
	       AddAccessAllowedAce(acl, ACL_REVISION, rights, user) &&
	       AddAccessAllowedAce(acl, ACL_REVISION, rights, &owner) &&
	       (as_default ? SetTokenInformation(object, TokenDefaultDacl, &later,
	                                         sizeof later)
	                   : !SetSecurityInfo(object, SE_KERNEL_OBJECT, part,
	                                      nullptr, nullptr, acl, nullptr));
}

// The process's threads, each granting rights to user alone.
static bool guard_threads(PSID user, DWORD rights)
{
	HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
	THREADENTRY32 entry = {sizeof entry, 0, 0, 0, 0, 0, 0};
	bool guarded = Thread32First(threads, &entry);
	for (bool more = guarded; more && guarded; more = Thread32Next(threads, &entry))
		if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
			HANDLE thread = OpenThread(WRITE_DAC, FALSE, entry.th32ThreadID);
			guarded = grant_only(thread, user, rights, false);
			CloseHandle(thread);
		}
	CloseHandle(threads);
	return guarded;
}

// Else the same user could take the file's handle or rewrite memory: it may
// only wait on, query and end the process and its threads, now and later,
// and only query the token, last, so that none resets its default DACL.
static bool shut_out_same_user()
{
	constexpr DWORD process_rights = SYNCHRONIZE | PROCESS_TERMINATE |
		PROCESS_QUERY_LIMITED_INFORMATION;
	constexpr DWORD thread_rights = SYNCHRONIZE | THREAD_TERMINATE |
		THREAD_QUERY_LIMITED_INFORMATION | THREAD_QUERY_INFORMATION;
	alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
	auto *token_user = reinterpret_cast<TOKEN_USER *>(user);
	HANDLE token = nullptr;
	DWORD size;
	bool guarded =
		OpenProcessToken(GetCurrentProcess(),
		                 TOKEN_QUERY | TOKEN_ADJUST_DEFAULT | WRITE_DAC, &token) &&
		GetTokenInformation(token, TokenUser, user, sizeof user, &size);
	PSID sid = guarded ? token_user->User.Sid : nullptr;
	guarded = guarded && grant_only(GetCurrentProcess(), sid, process_rights, false) &&
	          grant_only(token, sid, thread_rights, true) &&
	          guard_threads(sid, thread_rights) &&
	          grant_only(token, sid, TOKEN_QUERY, false);
	CloseHandle(token);
	return guarded;
}

// A file's volume serial and 128-bit id, or else its 64-bit file index.
static bool identity_of(HANDLE file, uint64_t *volume, FILE_ID_128 *id)
{
	FILE_ID_INFO info;
	BY_HANDLE_FILE_INFORMATION old;
	*id = {};
	if (GetFileInformationByHandleEx(file, FileIdInfo, &info, sizeof info) &&
	    memcmp(&info.FileId, id, sizeof *id) != 0) {
		*volume = info.VolumeSerialNumber;
		*id = info.FileId;
		return true;
	}
	if (!GetFileInformationByHandle(file, &old))
		return false;
	*volume = old.dwVolumeSerialNumber;
	uint64_t index = uint64_t{old.nFileIndexHigh} << 32 | old.nFileIndexLow;
	memcpy(id->Identifier, &index, sizeof index);
	return true;
}

// To refuse, the ids alone decide (Wine gives a file its path's drive's
// serial, a Linux handle 0); to go on, the serials must agree too.
static bool same_file(HANDLE handle, HANDLE file, bool refuses)
{
	uint64_t x_volume, y_volume;
	FILE_ID_128 x, y;
	if (GetFileType(handle) != FILE_TYPE_DISK ||
	    !identity_of(handle, &x_volume, &x) ||
	    !identity_of(file, &y_volume, &y) || memcmp(&x, &y, sizeof x) != 0)
		return false;
	return refuses || x_volume == y_volume;
}

static bool is_open_on(HANDLE handle, const std::wstring &name, bool refuses)
{
	if (name.empty() || GetFileType(handle) != FILE_TYPE_DISK)
		return false;
	HANDLE file = open_without_data(name);
	if (file == INVALID_HANDLE_VALUE)
		return false;
	bool same = same_file(handle, file, refuses);
	CloseHandle(file);
	return same;
}

bool prepare_process(const native_name *name)
{
	SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
	unguarded = !shut_out_same_user();
	if (!name->path)
		return false;
	// Standard output may be open on the name as typed or as Win32 makes
	// it: \\.\X:\ and \??\X:\ as X:\, an ending dot or space stripped.
	std::wstring typed = name->path;
	bool device_form = starts_with(typed, L"\\\\.\\") ||
	                   starts_with(typed, L"\\??\\");
	HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
	return is_open_on(output, typed, true) ||
	       is_open_on(output, verbatim_path(device_form ? typed.substr(4) : typed),
	                  true);
}

// Opening for exclusive use: share mode none.

static target_file held_file;

opened_file open_exclusive(const native_name *name)
{
	opened_file opened = {nullptr, 0, false};
	if (unguarded)
		return opened;
	HANDLE checked = open_without_data(name_to_open(name->path));
	HANDLE file = INVALID_HANDLE_VALUE;
	// Raw volumes and disks are FILE_TYPE_DISK too, but lack file information.
	BY_HANDLE_FILE_INFORMATION information;
	if (checked != INVALID_HANDLE_VALUE) {
		// The name may lead to standard output's file only now.
		opened.output_is_target =
			same_file(GetStdHandle(STD_OUTPUT_HANDLE), checked, true);
		if (!opened.output_is_target && GetFileType(checked) == FILE_TYPE_DISK &&
		    GetFileInformationByHandle(checked, &information) &&
		    !(information.dwFileAttributes &
		      (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY |
		       FILE_ATTRIBUTE_DEVICE)) &&
		    !same_file(GetStdHandle(STD_INPUT_HANDLE), checked, true))
			file = ReOpenFile(checked, GENERIC_READ | GENERIC_WRITE, 0,
			                  anonymous);
		CloseHandle(checked);
	}
	LARGE_INTEGER file_size;
	if (file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &file_size)) {
		held_file.handle = file;
		return {&held_file, static_cast<uint64_t>(file_size.QuadPart), false};
	}
	if (file != INVALID_HANDLE_VALUE)
		CloseHandle(file);
	return opened;
}

// Under Wine share mode none keeps out no rename of a folder on the path.
bool still_held(target_file *file, const native_name *name)
{
	return is_open_on(file->handle, name_to_open(name->path), false);
}

// Moving bytes: one call each at an offset.

int32_t transfer_at(target_file *file, uint64_t offset, uint8_t *bytes,
                    uint32_t count, bool writing)
{
	OVERLAPPED place = {};
	place.Offset = static_cast<DWORD>(offset);
	place.OffsetHigh = static_cast<DWORD>(offset >> 32);
	DWORD moved = 0;
	if (writing ? WriteFile(file->handle, bytes, count, &moved, &place)
	            : ReadFile(file->handle, bytes, count, &moved, &place))
		return static_cast<int32_t>(moved);
	return !writing && GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

bool flush_target(target_file *file)
{
	return FlushFileBuffers(file->handle) != 0;
}

bool close_target(target_file *file)
{
	return CloseHandle(file->handle) != 0;
}

// Standard input: a pipe whose writer has gone, or none at all, ends it.

int32_t read_input(uint8_t *bytes, uint32_t count)
{
	DWORD got = 0;
	SetLastError(ERROR_SUCCESS); // Ctrl-C at a console reads 0 bytes: no end
	if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), bytes, count, &got, nullptr) &&
	    (got > 0 || GetLastError() != ERROR_OPERATION_ABORTED))
		return static_cast<int32_t>(got);
	DWORD error = GetLastError();
	return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ||
	       error == ERROR_INVALID_HANDLE ? 0 : -1;
}

// The report: UTF-16 to a console, else the ANSI code page, in CR LF. A
// pipe's reader gone away is a broken pipe, or no data; under Wine, no
// process on the other end.

static output_result write_all(HANDLE output, bool console, const void *text,
                               size_t count)
{
	auto *at = static_cast<const char *>(text);
	size_t unit = console ? sizeof(wchar_t) : 1;
	for (DWORD put = 0; count > 0; at += put * unit, count -= put) {
		DWORD size = static_cast<DWORD>(count);
		if (!(console ? WriteConsoleW(output, at, size, &put, nullptr)
		              : WriteFile(output, at, size, &put, nullptr))) {
			DWORD error = GetLastError();
			return !console && (error == ERROR_BROKEN_PIPE ||
			                    error == ERROR_NO_DATA ||
			                    error == ERROR_PIPE_NOT_CONNECTED)
			               ? output_result::reader_gone
			               : output_result::failed;
		}
		if (put == 0)
			return output_result::failed;
	}
	return output_result::written;
}

// A character that a block ends inside waits for the rest of it.
static std::string unfinished;

output_result write_report(const char *text, size_t count)
{
	std::string bytes = unfinished + std::string(text, count);
	size_t whole = bytes.size(), lead = whole;
	while (lead > 0 && whole - lead < 3 && (bytes[lead - 1] & 0xc0) == 0x80)
		lead--;
	unsigned char c = lead > 0 ? static_cast<unsigned char>(bytes[lead - 1]) : 0;
	if (whole - lead + 1 < 1u + (c >= 0xc0) + (c >= 0xe0) + (c >= 0xf0))
		whole = lead - 1;
	unfinished = bytes.substr(whole);
	int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(),
	                               static_cast<int>(whole), nullptr, 0);
	std::wstring wide(static_cast<size_t>(size), L'\0'), lines;
	MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(whole),
	                    &wide[0], size);
	for (wchar_t c : wide) {
		if (c == L'\n')
			lines += L'\r';
		lines += c;
	}
	HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
	DWORD mode;
	if (GetConsoleMode(output, &mode))
		return write_all(output, true, lines.data(), lines.size());
	std::string ansi = narrow(GetACP(), lines);
	return write_all(output, false, ansi.data(), ansi.size());
}
