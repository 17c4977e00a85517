// The Windows serial port interface (kernel32) and the C runtime's system().
#include <windows.h>

#include <chrono>
#include <cstdlib>

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

void sleepMs(unsigned milliseconds) {
    // Sleep may wake a tick early; go on until the monotonic clock agrees.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (auto now = std::chrono::steady_clock::now(); now < deadline;
         now = std::chrono::steady_clock::now()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        Sleep(static_cast<DWORD>(left));
    }
}

int runCommand(const std::string& commandLine) {
    return std::system(commandLine.c_str());
}

}  // namespace os
