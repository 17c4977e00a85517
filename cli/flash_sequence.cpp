#include "cli/flash_sequence.h"

#include "programmer/flash.h"
#include "serial/ports.h"

void runFlashSequence(const std::string& portArgument) {
    const PortSet snapshot = enumeratePorts();
    resetToBootloader(portArgument);
    const PortName bootloaderPort = waitForBootloaderPort(snapshot);
    flashFirmware(bootloaderPort);
}
