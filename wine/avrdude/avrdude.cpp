// avrdude.exe for portkick.exe under Wine, put on the command processor's
// search path (WINEPATH) in place of the programmer tool.
//
// Every run appends a record of how it was called to the file named by
// PORTKICK_DOUBLE_LOG (if set):
//     command line: <the raw command line the process received>
//     directory: <the current directory>
//     argument: <argv[1]>
//     argument: <argv[2]> ...
//     end
// Then it either
//   - exits with the status in PORTKICK_DOUBLE_STATUS (decimal, may be
//     negative; 0 when unset), after writing one line to standard output, or
//   - when PORTKICK_DOUBLE_RELAY names a directory, hands the run to the host's
//     avrdude (the relay in wine/winehost.py), so that portkick.exe flashes
//     the simulated board for real: it writes the file "request" there (the
//     current directory, then one argument per line), waits for the file
//     "done" holding avrdude's exit status, copies the file "output"
//     (avrdude's console output) to standard error, and exits with that
//     status.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

constexpr int kRelayFailure = 70;
constexpr DWORD kRelayTimeoutMs = 60000;
constexpr DWORD kRelayPollMs = 10;

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string currentDirectory() {
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = GetCurrentDirectoryA(sizeof(buffer), buffer);
    return std::string(buffer, length < sizeof(buffer) ? length : 0);
}

void appendRecord(const std::string& path, int argc, char** argv) {
    std::ofstream record(path, std::ios::binary | std::ios::app);
    record << "command line: " << GetCommandLineA() << "\n";
    record << "directory: " << currentDirectory() << "\n";
    for (int i = 1; i < argc; ++i) {
        record << "argument: " << argv[i] << "\n";
    }
    record << "end\n";
}

bool readFile(const std::string& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    contents = buffer.str();
    return true;
}

int relay(const std::string& directory, int argc, char** argv) {
    const std::string request = directory + "\\request";
    const std::string pending = request + ".tmp";
    const std::string done = directory + "\\done";
    const std::string output = directory + "\\output";
    {
        std::ofstream out(pending, std::ios::binary | std::ios::trunc);
        out << currentDirectory() << "\n";
        for (int i = 1; i < argc; ++i) {
            out << argv[i] << "\n";
        }
        if (!out) {
            std::cerr << "avrdude double: cannot write " << pending << std::endl;
            return kRelayFailure;
        }
    }
    // The watcher picks up "request" only once it is complete.
    if (!MoveFileExA(pending.c_str(), request.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        std::cerr << "avrdude double: cannot publish " << request << std::endl;
        return kRelayFailure;
    }

    std::string status;
    for (DWORD waited = 0; !readFile(done, status); waited += kRelayPollMs) {
        if (waited >= kRelayTimeoutMs) {
            std::cerr << "avrdude double: no answer in " << directory << std::endl;
            return kRelayFailure;
        }
        Sleep(kRelayPollMs);
    }
    std::string text;
    if (readFile(output, text)) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    DeleteFileA(output.c_str());
    DeleteFileA(done.c_str());
    return std::atoi(status.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string log = environmentValue("PORTKICK_DOUBLE_LOG");
    if (!log.empty()) {
        appendRecord(log, argc, argv);
    }
    const std::string relayDirectory = environmentValue("PORTKICK_DOUBLE_RELAY");
    if (!relayDirectory.empty()) {
        return relay(relayDirectory, argc, argv);
    }
    const int status = std::atoi(environmentValue("PORTKICK_DOUBLE_STATUS").c_str());
    std::cout << "avrdude double: exit status " << status << std::endl;
    return status;
}
