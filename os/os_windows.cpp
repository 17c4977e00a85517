// The Windows serial port interface (kernel32) and the C runtime's system().
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
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

LineResult setLineSettings(PortHandle port) {
    const HANDLE handle = reinterpret_cast<HANDLE>(port);
    DCB dcb;
    ZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &dcb)) {
        return LineResult::readFailed;
    }
    dcb.BaudRate = 1200;
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

namespace {

// Objects that every user may open: a security descriptor with no DACL.
struct OpenToAll {
    SECURITY_DESCRIPTOR descriptor{SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT, NULL, NULL, NULL, NULL};
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
};

// The note lies beside the turn in the machine's program data folder, where
// every user may make files: "<GetTickCount64 at its leaving>\n<note>".
HANDLE openTurnNote(DWORD disposition) {
    const char* data = std::getenv("ProgramData");
    if (data == nullptr || *data == '\0') {
        return INVALID_HANDLE_VALUE;
    }
    OpenToAll everyone;
    return CreateFileA((std::string(data) + "\\portkick-turn").c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &everyone.attributes, disposition,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

}  // namespace

// The turn is a named mutex in the global namespace, so that runs in every
// console and of every user take turns. It is held until the process ends,
// when the system gives it to the next waiting run (as abandoned, which
// makes it no less that run's).
bool takeTurn(bool wait) {
    OpenToAll everyone;
    const HANDLE turn = CreateMutexA(&everyone.attributes, FALSE, "Global\\portkick-turn");
    if (turn == NULL) {
        return true;
    }
    if (WaitForSingleObject(turn, wait ? INFINITE : 0) == WAIT_TIMEOUT) {
        CloseHandle(turn);
        return false;
    }
    return true;
}

std::string turnNote(std::uint64_t& age) {
    const HANDLE file = openTurnNote(OPEN_EXISTING);
    char text[512] = {};
    DWORD got = 0;
    if (file == INVALID_HANDLE_VALUE) {
        return "";
    }
    const BOOL read = ReadFile(file, text, sizeof text - 1, &got, NULL);
    CloseHandle(file);
    const char* note = read ? std::strchr(text, '\n') : NULL;
    if (note == NULL) {
        return "";
    }
    const std::uint64_t left = std::strtoull(text, NULL, 10), now = GetTickCount64();
    age = left <= now ? now - left : UINT64_MAX;
    return note + 1;
}

void leaveTurnNote(const std::string& note) {
    const HANDLE file = openTurnNote(CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string text = note.empty() ? "" : std::to_string(GetTickCount64()) + "\n" + note;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, NULL);
    CloseHandle(file);
}

}  // namespace os
