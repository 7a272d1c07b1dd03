// Stand-in for the console's merge tool (hvcfgmrg.exe, hvcfgmrg natively), steered
// by hvcfgmrg.echo, .linger and .status in its current directory (README.md).

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

// The host's half (fakemerge_win32.cpp, fakemerge_posix.cpp), whose process runs Linger.
void LeaveProcessBehind(unsigned seconds);

int Linger(unsigned seconds) {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
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
    if (lingerFile >> linger && linger > 0)
        LeaveProcessBehind(linger);

    // Read as a number of 32 bits, so that a crash's code (0xC0000005 as
    // 3221225477) can be played back whole where the host keeps it.
    unsigned long status = 0;
    std::ifstream statusFile("hvcfgmrg.status");
    if (statusFile)
        statusFile >> status;
    return static_cast<int>(status);
}
