// fakemerge's process left behind, elsewhere: a child that keeps every descriptor.

#include <unistd.h>

#include <string>

int Linger(unsigned seconds);

void LeaveProcessBehind(unsigned seconds) {
    if (fork() == 0)
        _exit(Linger(seconds));
}

bool WriteErrorAtOnce(const std::string &block) {
    return write(STDERR_FILENO, block.data(), block.size()) == static_cast<ssize_t>(block.size());
}
