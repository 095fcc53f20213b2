/* Prints the number of handles a running process holds, found by the full
 * path of its executable: every entry of the system handle table whose owner
 * is that process. Runs inside the same Wine prefix as the process it counts.
 * usage: handle_count.exe X:\PATH\NAME.exe */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    ULONG owner;
    BYTE type;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
} HandleEntry;

typedef struct {
    ULONG count;
    HandleEntry entries[1];
} HandleTable;

typedef LONG(WINAPI *QuerySystem)(ULONG, PVOID, ULONG, PULONG);

/* The one process running the executable at path; 0 when there is none or
 * more than one (another copy of the same file elsewhere does not count). */
static DWORD find_process(const char *path) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    DWORD found = 0;
    int matches = 0;
    const char *base = strrchr(path, '\\');
    base = base ? base + 1 : path;
    entry.dwSize = sizeof entry;
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    if (Process32First(snapshot, &entry)) {
        do {
            char image[MAX_PATH];
            DWORD length = MAX_PATH;
            HANDLE process;
            if (_stricmp(entry.szExeFile, base) != 0) continue;
            process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
            if (!process) continue;
            if (QueryFullProcessImageNameA(process, 0, image, &length) && _stricmp(image, path) == 0) {
                found = entry.th32ProcessID;
                ++matches;
            }
            CloseHandle(process);
        } while (Process32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return matches == 1 ? found : 0;
}

int main(int argc, char **argv) {
    QuerySystem query = (QuerySystem)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                          "NtQuerySystemInformation");
    DWORD pid = argc > 1 ? find_process(argv[1]) : 0;
    ULONG size = 1 << 20, needed = 0, i, count = 0;
    HandleTable *table = NULL;
    LONG status;
    if (!query || !pid) {
        fprintf(stderr, "no process %s\n", argc > 1 ? argv[1] : "");
        return 2;
    }
    for (;;) {
        table = (HandleTable *)malloc(size);
        status = query(16 /* SystemHandleInformation */, table, size, &needed);
        if (status != (LONG)0xC0000004 /* STATUS_INFO_LENGTH_MISMATCH */) break;
        free(table);
        size *= 2;
    }
    if (status != 0) {
        fprintf(stderr, "NtQuerySystemInformation failed: 0x%lx\n", (unsigned long)status);
        return 3;
    }
    for (i = 0; i < table->count; ++i)
        if (table->entries[i].owner == pid) ++count;
    printf("%lu\n", (unsigned long)count);
    free(table);
    return 0;
}
