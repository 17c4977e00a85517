// The bootloader's side of the AVR109 serial protocol, as the simulated board
// speaks it: the memories of an ATmega32U4 and one function that carries out
// one complete command from the host and gives its answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace avr109 {

constexpr std::size_t kFlashSize = 32 * 1024;
// The bootloader lives in the top 4 KiB of flash, which its lock bits keep
// from being written or erased: a write there is answered but changes
// nothing, so that the verify that follows finds the difference.
constexpr std::size_t kBootloaderStart = kFlashSize - 4 * 1024;
constexpr std::size_t kEepromSize = 1024;
constexpr std::size_t kBlockSize = 128;

// What the board keeps across resets.
struct Memory {
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(kFlashSize, 0xFF);
    std::vector<std::uint8_t> eeprom = std::vector<std::uint8_t>(kEepromSize, 0xFF);
};

// What one bootloader session keeps between commands.
struct Session {
    std::uint32_t address = 0;  // word address for flash, byte address for EEPROM
    bool flashChanged = false;
    bool exitRequested = false;  // 'E' was received: start the application
};

// The length of the command at the front of `input`, or 0 when more bytes
// must arrive before it is complete. `input` must not be empty.
std::size_t commandLength(const std::vector<std::uint8_t>& input);

// Carries out one complete command (as long as commandLength says) and
// returns the answer to send back (empty for ESC).
std::string execute(const std::uint8_t* command, Memory& memory, Session& session);

}  // namespace avr109
