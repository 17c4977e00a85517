// line-settings: setLineSettings over a GetCommState of its own, which fails unless it reads into a record zeroed
// with its length set and reports 9600 baud 7E2, all else set; prints "ok" when only those four became 1200 8N1.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "os/os.h"

static DCB nothing, reported, applied;

static BOOL WINAPI getCommState(HANDLE, LPDCB dcb) {
    const bool zeroed =
        dcb->DCBlength == sizeof(DCB) && std::memcmp(&dcb->BaudRate, &nothing, sizeof(DCB) - sizeof(DWORD)) == 0;
    *dcb = reported;
    return zeroed;
}

static BOOL WINAPI setCommState(HANDLE, LPDCB dcb) {
    applied = *dcb;
    return TRUE;
}

extern "C" {  // the import pointers that kernel32's would fill
decltype(&GetCommState) __imp_GetCommState = getCommState;
decltype(&SetCommState) __imp_SetCommState = setCommState;
}

int main() {
    std::memset(&reported, 0x5a, sizeof reported);
    reported.BaudRate = CBR_9600;
    reported.ByteSize = 7;
    reported.Parity = EVENPARITY;
    reported.StopBits = TWOSTOPBITS;
    DCB expected = reported;
    expected.BaudRate = 1200;
    expected.ByteSize = 8;
    expected.Parity = NOPARITY;
    expected.StopBits = ONESTOPBIT;
    const bool applies = os::setLineSettings(1) == os::LineResult::applied;
    std::puts(applies && std::memcmp(&applied, &expected, sizeof expected) == 0 ? "ok" : "wrong");
}
