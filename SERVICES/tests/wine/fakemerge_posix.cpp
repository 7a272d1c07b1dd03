// fakemerge's process left behind, elsewhere: a child that keeps every
// descriptor.

#include <unistd.h>

#include <fstream>

void Linger(unsigned seconds) {
    sleep(seconds);
}

void LeaveProcessBehind(unsigned seconds) {
    if (fork() == 0) {
        Linger(seconds);
        std::ofstream("hvcfgmrg.lingered") << "done\n";
        _exit(0);
    }
}
