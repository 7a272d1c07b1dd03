// Stand-in for the console's merge tool (hvcfgmrg.exe, hvcfgmrg natively), steered
// by hvcfgmrg.echo, .linger, .chatter and .status in its current directory (README.md).

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

// The host's half (fakemerge_win32.cpp, fakemerge_posix.cpp), whose process runs Linger.
void LeaveProcessBehind(unsigned seconds);
bool WriteErrorAtOnce(const std::string &block); // in one write

int Linger(unsigned seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    // Without a pause, in blocks no read takes whole: with two of us at it the
    // reader never finds the pipe empty. Each says so once it is writing.
    if (std::ifstream("hvcfgmrg.chatter")) {
        const std::string block(1 << 20, 'c');
        if (WriteErrorAtOnce(block))
            std::ofstream("hvcfgmrg.chatting", std::ios::app) << "writing\n";
        while (std::chrono::steady_clock::now() < end && WriteErrorAtOnce(block)) {
        }
    }
    std::this_thread::sleep_until(end);
    std::ofstream("hvcfgmrg.lingered") << "done\n";
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 3 && std::string(argv[1]) == "--linger")
        return Linger(static_cast<unsigned>(std::stoul(argv[2])));
    std::error_code error;
    const std::u8string where = std::filesystem::current_path(error).u8string();
    std::string line(where.begin(), where.end());
    for (int i = 1; i < argc; ++i)
        line += '\t' + std::string(argv[i]);

    // Binary mode: the log reads the same on every host, without CR.
    std::ofstream log("hvcfgmrg.log", std::ios::binary | std::ios::app);
    log << line << '\n';
    log.close();

    std::cout << "hvcfgmrg: merged into hvcons.ini" << std::endl; // quillmar must discard it

    if (std::ifstream("hvcfgmrg.echo")) {
        const std::string input{std::istreambuf_iterator<char>(std::cin),
                                std::istreambuf_iterator<char>()};
        std::cerr << input << std::flush;
    }

    unsigned linger = 0;
    std::ifstream lingerFile("hvcfgmrg.linger");
    const bool chatter = static_cast<bool>(std::ifstream("hvcfgmrg.chatter"));
    if (lingerFile >> linger && linger > 0) {
        for (int i = chatter ? 2 : 1; i > 0; --i)
            LeaveProcessBehind(linger);
        // The tool ends only once both are writing.
        for (unsigned tick = 0; chatter && tick < linger * 100; ++tick) {
            std::ifstream said("hvcfgmrg.chatting");
            if (std::count(std::istreambuf_iterator<char>(said), {}, '\n') >= 2)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // Read as a number of 32 bits, so that a crash's code (0xC0000005 as
    // 3221225477) can be played back whole where the host keeps it.
    unsigned long status = 0;
    std::ifstream statusFile("hvcfgmrg.status");
    if (statusFile)
        statusFile >> status;
    return static_cast<int>(status);
}
