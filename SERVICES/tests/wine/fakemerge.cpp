// Stand-in for the management console's INI merge tool (installed by the
// tests as hvcfgmrg.exe, or hvcfgmrg natively). It records how it was run,
// so a test can tell where and with which arguments quillmar started it,
// and exits with a status the test chose.
//
// - appends one line to hvcfgmrg.log in the current directory: the
//   current directory, then each argument, separated by tabs;
// - writes a line on standard output, which quillmar must send to the null
//   device (a test that finds it in quillmar's output has caught a leak);
// - writes nothing on standard error;
// - exits with the number in hvcfgmrg.status (current directory), else 0.

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char **argv) {
    std::error_code error;
    std::string line = std::filesystem::current_path(error).string();
    for (int i = 1; i < argc; ++i)
        line += '\t' + std::string(argv[i]);

    // Binary mode: the log reads the same on every host, without CR.
    std::ofstream log("hvcfgmrg.log", std::ios::binary | std::ios::app);
    log << line << '\n';
    log.close();

    std::cout << "hvcfgmrg: merged into hvcons.ini" << std::endl;

    int status = 0;
    std::ifstream statusFile("hvcfgmrg.status");
    if (statusFile)
        statusFile >> status;
    return status;
}
