// Runs a program with its standard output sent to a file, without a shell in between, so that a
// program and `cat IN > OUT` are timed through the same start-up: launch OUT PROGRAM [ARGS...]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: launch OUT PROGRAM [ARGS...]\n");
        return 2;
    }
    const int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || dup2(out, 1) < 0) {
        std::perror(argv[1]);
        return 2;
    }
    execv(argv[2], argv + 2);
    std::perror(argv[2]);
    return 127;
}
