// The floor of the cfgsync benchmark: a program of the appliance's build that starts, reads
// /etc/CGI_ds.conf once and exits.
#include <fcntl.h>
#include <unistd.h>

#include "common/paths.h"

int main() {
    char buf[4096];
    const int fd = open(paths::kConfigFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 1;
    }
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
    return 0;
}
