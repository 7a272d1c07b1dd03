// fakemerge's process left behind, elsewhere: a child that keeps every descriptor.

#include <unistd.h>

int Linger(unsigned seconds);

void LeaveProcessBehind(unsigned seconds) {
    if (fork() == 0)
        _exit(Linger(seconds));
}
