// Stand-in for the main application /home/pi/Quorl in the test sandbox.
// It only leaves a trace of each start (pid and command line) so tests can
// count relaunches, then idles until it is killed like the real one would be.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    std::string line = std::to_string(getpid());
    for (int i = 0; i < argc; ++i) {
        line += ' ';
        line += argv[i];
    }
    line += '\n';

    // Root makes the log world-writable so a later start as pi can still
    // append; pi's own file stays 0644 so root may open it in sticky /tmp.
    if (geteuid() == 0) {
        umask(0);
    }
    // One write(2) with O_APPEND keeps lines whole when two starts race.
    const int fd = open("/tmp/quorl-starts.log", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        std::perror("fake Quorl: /tmp/quorl-starts.log");
        return 1;
    }
    close(fd);

    for (;;) {
        pause();
    }
}
