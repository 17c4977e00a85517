// line-settings: the Windows layer's setLineSettings over a GetCommState and
// SetCommState of its own (the import pointers that kernel32's would fill):
// the line reported is 9600 baud, 7 data bits, even parity, two stop bits,
// with every other field set. Prints "ok" when the record read was zeroed
// with its length set, and the record applied differs from it in the four
// fields of the touch alone; else what went wrong.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "os/os.h"

namespace {

DCB reported, applied;
bool zeroed;

BOOL WINAPI getCommState(HANDLE, LPDCB dcb) {
    DCB empty;
    std::memset(&empty, 0, sizeof empty);
    empty.DCBlength = sizeof empty;
    zeroed = std::memcmp(dcb, &empty, sizeof empty) == 0;
    std::memset(&reported, 0x5a, sizeof reported);
    reported.DCBlength = sizeof reported;
    reported.BaudRate = CBR_9600;
    reported.ByteSize = 7;
    reported.Parity = EVENPARITY;
    reported.StopBits = TWOSTOPBITS;
    *dcb = reported;
    return TRUE;
}

BOOL WINAPI setCommState(HANDLE, LPDCB dcb) {
    applied = *dcb;
    return TRUE;
}

}  // namespace

extern "C" {
decltype(&GetCommState) __imp_GetCommState = getCommState;
decltype(&SetCommState) __imp_SetCommState = setCommState;
}

int main() {
    const os::LineResult result = os::setLineSettings(1);
    DCB expected = reported;
    expected.BaudRate = 1200;
    expected.ByteSize = 8;
    expected.Parity = NOPARITY;
    expected.StopBits = ONESTOPBIT;
    const bool same = std::memcmp(&applied, &expected, sizeof expected) == 0;
    std::printf("%s\n", result != os::LineResult::applied ? "not applied"
                        : !zeroed                          ? "the record was not zeroed, with its length set"
                        : !same                            ? "the record applied is not the one read, 1200 8N1"
                                                           : "ok");
    return 0;
}
