// Swaps two names again and again until killed, as a co-user racing the
// tool's checks would:
//   ncswap UID GID A B
// Runs as that user; exit status 1 when a swap fails.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: ncswap UID GID A B\n");
        return 2;
    }
    const uid_t uid = uid_t(std::strtoul(argv[1], nullptr, 10));
    const gid_t gid = gid_t(std::strtoul(argv[2], nullptr, 10));
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
        std::perror("ncswap: cannot become the user");
        return 1;
    }
    for (;;) {
        if (::renameat2(AT_FDCWD, argv[3], AT_FDCWD, argv[4], RENAME_EXCHANGE) != 0) {
            std::perror("ncswap");
            return 1;
        }
    }
}
