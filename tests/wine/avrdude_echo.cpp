// avrdude-echo, the avrdude.exe that portkick.exe runs under Wine: says how
// it was called and exits with the status in PORTKICK_AVRDUDE_STATUS.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main() {
    const char* status = std::getenv("PORTKICK_AVRDUDE_STATUS");
    std::printf("avrdude.exe ran: %s\n", GetCommandLineA());
    return status != nullptr ? std::atoi(status) : 0;
}
