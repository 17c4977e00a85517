// The Windows serial port interface (kernel32) and the C runtime's system().
#include <windows.h>

#include <cstdlib>
#include <string>

#include "os/os.h"

static_assert(sizeof(DCB) == 28, "DCB must be the 28-byte Win32 record");

namespace os {

// Windows gives the process what it needs as it is: a port's handle never
// takes a standard stream's place, and a write to a closed pipe just fails.
void prepareProcess() {}

// Share mode 0: no other handle to the port can be open, or be opened while
// this one is. Probes and touches open alike.
PortHandle openPort(const std::string& devicePath, OpenFor) {
    const HANDLE handle = CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      NULL, OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        return kNoPort;
    }
    return reinterpret_cast<PortHandle>(handle);
}

void closePort(PortHandle port) {
    CloseHandle(reinterpret_cast<HANDLE>(port));
}

LineResult setLineSettings(PortHandle port, unsigned baud) {
    const HANDLE handle = reinterpret_cast<HANDLE>(port);
    DCB dcb;
    ZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &dcb)) {
        return LineResult::readFailed;
    }
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(handle, &dcb)) {
        return LineResult::applyFailed;
    }
    return LineResult::applied;
}

// The performance counter is the monotonic clock: the system time, which
// the C++ library's steady_clock reads in this runtime, can be set back
// while we wait.
void sleepMs(unsigned milliseconds) {
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const LONGLONG wait = (frequency.QuadPart * milliseconds + 999) / 1000;  // counts, rounded up
    // Sleep may wake a tick early: then sleep again for what is left.
    for (DWORD left = milliseconds;;) {
        Sleep(left);
        QueryPerformanceCounter(&now);
        const LONGLONG elapsed = now.QuadPart - start.QuadPart;
        if (elapsed >= wait) {
            return;
        }
        left = static_cast<DWORD>(((wait - elapsed) * 1000 + frequency.QuadPart - 1) / frequency.QuadPart);
    }
}

// The command processor looks for avrdude.exe in the current folder, then
// along PATH. This program's own folder goes first on that PATH, so that the
// avrdude.exe unzipped beside it runs wherever the two were put, with no
// set-up, and one in the current folder still wins. The wide calls keep a
// folder name that the ANSI code page cannot spell; _wputenv_s changes both
// the C runtime's copy of the environment and the process's own, whichever
// one the runtime hands the command processor.
int runCommand(const std::string& commandLine) {
    std::wstring program(32768, L'\0');  // the longest path Windows knows
    const DWORD length = GetModuleFileNameW(NULL, &program[0], static_cast<DWORD>(program.size()));
    const std::size_t slash = program.rfind(L'\\', length);
    if (length > 0 && length < program.size() && slash != std::wstring::npos) {
        std::wstring folder = program.substr(0, slash + 1);  // C:\ keeps its backslash
        if (folder.find(L';') != std::wstring::npos) {
            folder = L'"' + folder + L'"';
        }
        std::wstring path(GetEnvironmentVariableW(L"PATH", NULL, 0), L'\0');
        path.resize(GetEnvironmentVariableW(L"PATH", &path[0], static_cast<DWORD>(path.size())));
        _wputenv_s(L"PATH", (folder + L";" + path).c_str());
    }
    return std::system(commandLine.c_str());
}

}  // namespace os
