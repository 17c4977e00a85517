#include "avr109.h"

#include <algorithm>

namespace avr109 {

namespace {

const char kSoftwareId[] = "PKBOARD";  // always 7 characters
const char kDone[] = "\r";
const char kUnknown[] = "?";
constexpr std::uint8_t kDeviceCode = 0x44;  // ATmega32U4

unsigned bigEndian16(const std::uint8_t* bytes) {
    return (unsigned{bytes[0]} << 8) | bytes[1];
}

// The memory a block command names ('F' flash, 'E' EEPROM), the byte offset
// the session's address stands for in it, and how far the address moves per
// byte transferred.
struct Target {
    std::vector<std::uint8_t>* bytes;
    std::size_t offset;
    unsigned bytesPerStep;
};

bool findTarget(std::uint8_t type, Memory& memory, const Session& session, Target& target) {
    if (type == 'F') {
        target = {&memory.flash, std::size_t{session.address} * 2, 2};
        return true;
    }
    if (type == 'E') {
        target = {&memory.eeprom, session.address, 1};
        return true;
    }
    return false;
}

std::string writeBlock(const std::uint8_t* command, Memory& memory, Session& session) {
    const unsigned size = bigEndian16(command + 1);
    Target target{};
    if (size == 0 || size > kBlockSize || !findTarget(command[3], memory, session, target) ||
        target.offset + size > target.bytes->size()) {
        return kUnknown;
    }
    const std::uint8_t* data = command + 4;
    std::size_t kept = size;  // the bytes that take effect
    if (target.bytes == &memory.flash) {
        kept = target.offset >= kBootloaderStart ? 0 : std::min<std::size_t>(size, kBootloaderStart - target.offset);
    }
    auto destination = target.bytes->begin() + static_cast<std::ptrdiff_t>(target.offset);
    if (target.bytes == &memory.flash && !std::equal(data, data + kept, destination)) {
        session.flashChanged = true;
    }
    std::copy(data, data + kept, destination);
    session.address += (size + target.bytesPerStep - 1) / target.bytesPerStep;
    return kDone;
}

std::string readBlock(const std::uint8_t* command, Memory& memory, Session& session) {
    const unsigned size = bigEndian16(command + 1);
    Target target{};
    if (size == 0 || size > kBlockSize || !findTarget(command[3], memory, session, target)) {
        return kUnknown;
    }
    std::string answer(size, '\xFF');
    for (unsigned i = 0; i < size && target.offset + i < target.bytes->size(); ++i) {
        answer[i] = static_cast<char>((*target.bytes)[target.offset + i]);
    }
    session.address += (size + target.bytesPerStep - 1) / target.bytesPerStep;
    return answer;
}

}  // namespace

std::size_t commandLength(const std::vector<std::uint8_t>& input) {
    std::size_t length = 1;
    switch (input[0]) {
        case 'A': length = 3; break;  // address high, low
        case 'H': length = 4; break;  // extended address: three bytes
        case 'g': length = 4; break;  // size high, low, memory type
        case 'T': case 'l': case 'x': case 'y': length = 2; break;
        case 'B':
            if (input.size() < 3) {
                return 0;
            }
            length = 4 + bigEndian16(&input[1]);
            break;
        default: break;
    }
    return input.size() >= length ? length : 0;
}

std::string execute(const std::uint8_t* command, Memory& memory, Session& session) {
    switch (command[0]) {
        case 0x1B: return "";  // resynchronise
        case 'S': return kSoftwareId;
        case 'V': return "10";
        case 'v': return kUnknown;  // no hardware version
        case 'p': return "S";       // serial programmer
        case 'a': return "Y";       // the address increments by itself
        case 'b': return std::string("Y\0", 2) + static_cast<char>(kBlockSize);
        case 't': return std::string{static_cast<char>(kDeviceCode), '\0'};
        case 's': return "\x87\x95\x1E";  // signature 1E 95 87, low byte first
        case 'F': case 'N': case 'Q': case 'r': return "\xFF";  // fuses and lock bits
        case 'T': case 'P': case 'L': case 'l': case 'x': case 'y': return kDone;
        case 'A':
            session.address = bigEndian16(command + 1);
            return kDone;
        case 'H':
            session.address = (std::uint32_t{command[1]} << 16) | bigEndian16(command + 2);
            return kDone;
        case 'e': {  // chip erase: the application section only
            const auto applicationEnd = memory.flash.begin() + kBootloaderStart;
            if (std::any_of(memory.flash.begin(), applicationEnd, [](std::uint8_t b) { return b != 0xFF; })) {
                session.flashChanged = true;
            }
            std::fill(memory.flash.begin(), applicationEnd, 0xFF);
            return kDone;
        }
        case 'B': return writeBlock(command, memory, session);
        case 'g': return readBlock(command, memory, session);
        case 'E':
            session.exitRequested = true;
            return kDone;
        default: return kUnknown;
    }
}

}  // namespace avr109
