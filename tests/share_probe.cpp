// A second Windows process for the sharing tests.
//   share_probe FILE hold:  opens FILE letting others read and write, says
//                           "held", keeps it until standard input closes.
//   share_probe FILE try:   says "opened" or "denied".
//   share_probe FILE reach: opens the running bitmend.exe to duplicate its
//                           handles, writing FILE's last byte through one
//                           open on FILE, and to write its memory, its
//                           threads to set their context, and its token to
//                           reset its default DACL; says "refused" or what
//                           it did, for each.
#include <cstdio>
#include <cstring>
#include <windows.h>
#include <tlhelp32.h>

// The running bitmend.exe's process id, or 0.
static DWORD run_id()
{
	HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
	PROCESSENTRY32 entry = {};
	entry.dwSize = sizeof entry;
	for (BOOL more = Process32First(all, &entry); more;
	     more = Process32Next(all, &entry))
		if (_stricmp(entry.szExeFile, "bitmend.exe") == 0)
			return entry.th32ProcessID;
	return 0;
}

// The running bitmend.exe, opened with access alone.
static HANDLE open_run(DWORD access)
{
	DWORD id = run_id();
	return id ? OpenProcess(access, FALSE, id) : nullptr;
}

// Whether a thread of the run opens to set its context.
static bool open_thread()
{
	HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
	THREADENTRY32 entry = {};
	entry.dwSize = sizeof entry;
	DWORD id = run_id();
	for (BOOL more = Thread32First(all, &entry); more;
	     more = Thread32Next(all, &entry))
		if (entry.th32OwnerProcessID == id &&
		    OpenThread(THREAD_SET_CONTEXT | THREAD_SUSPEND_RESUME, FALSE,
		               entry.th32ThreadID))
			return true;
	return false;
}

static const char *reach(HANDLE file)
{
	HANDLE run = open_run(PROCESS_DUP_HANDLE);
	BY_HANDLE_FILE_INFORMATION want, got;
	OVERLAPPED end = {};
	end.Offset = GetFileSize(file, nullptr) - 1;
	for (ULONG_PTR value = 4; run && value < 0x10000; value += 4) {
		HANDLE copy;
		DWORD put = 0;
		if (DuplicateHandle(run, reinterpret_cast<HANDLE>(value),
		                    GetCurrentProcess(), &copy, 0, FALSE,
		                    DUPLICATE_SAME_ACCESS) &&
		    GetFileType(copy) == FILE_TYPE_DISK &&
		    GetFileInformationByHandle(file, &want) &&
		    GetFileInformationByHandle(copy, &got) &&
		    got.nFileIndexLow == want.nFileIndexLow &&
		    got.nFileIndexHigh == want.nFileIndexHigh &&
		    WriteFile(copy, "\xee", 1, &put, &end) && put == 1)
			return "wrote";
	}
	return run ? "duplicated" : "refused";
}

int main(int argc, char *argv[])
{
	if (argc != 3)
		return 2;
	bool reaching = strcmp(argv[2], "reach") == 0;
	HANDLE file = CreateFileA(argv[1], reaching ? FILE_READ_ATTRIBUTES : GENERIC_READ,
	                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
	                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (reaching) {
		HANDLE memory = open_run(PROCESS_VM_OPERATION | PROCESS_VM_READ |
		                         PROCESS_VM_WRITE);
		HANDLE token = nullptr;
		OpenProcessToken(open_run(PROCESS_QUERY_LIMITED_INFORMATION),
		                 TOKEN_ADJUST_DEFAULT, &token);
		printf("%s %s %s %s\n", reach(file), memory ? "opened" : "refused",
		       open_thread() ? "opened" : "refused", token ? "opened" : "refused");
		return 0;
	}
	if (strcmp(argv[2], "try") == 0) {
		puts(file == INVALID_HANDLE_VALUE ? "denied" : "opened");
		return 0;
	}
	if (file == INVALID_HANDLE_VALUE)
		return 1;
	puts("held");
	fflush(stdout);
	while (getchar() != EOF)
		;
	CloseHandle(file);
	return 0;
}
