// Runs the command line that follows its own name as a child process, waits for it, and exits with the exit code
// that Windows (here Wine's server) recorded for it. usage: tarnwick_wait PROGRAM [ARGUMENTS...]
//
// Under Wine the exit status of the Unix process that ran a program is not always that program's exit code: the
// server kills a process whose Unix side is slow to go away after its last thread ended, and a 32-bit program run
// under qemu-i386 on a busy machine often is. The child inherits the standard handles.
#include <windows.h>

#include <cstdio>
#include <string>

int main()
{
    // This program's own name ends at its closing quote when quoted, else at the first blank.
    const wchar_t* line = GetCommandLineW();
    if (*line == L'"') {
        for (++line; *line != L'\0' && *line != L'"'; ++line) {
        }
        if (*line == L'"')
            ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t')
            ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    if (*line == L'\0') {
        std::fputs("usage: tarnwick_wait PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }

    std::wstring command(line);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
        std::fprintf(stderr, "tarnwick_wait: cannot start %ls (error %lu)\n", command.c_str(), GetLastError());
        return 126;
    }
    CloseHandle(child.hThread);
    DWORD exit_code = 1;
    if (WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.hProcess, &exit_code)) {
        std::fprintf(stderr, "tarnwick_wait: lost %ls (error %lu)\n", command.c_str(), GetLastError());
        exit_code = 1;
    }
    CloseHandle(child.hProcess);
    return static_cast<int>(exit_code);
}
