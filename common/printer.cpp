#include <cstdio>

#include "common/paths.h"
#include "common/scoped.h"
#include "common/util.h"
#include "common/util_internal.h"

int send_to_printer_at(const char *device, const unsigned char *data, unsigned int length) {
    UniqueFile port(std::fopen(device, "r+b"));
    if (!port) {
        return -1;
    }
    for (unsigned int i = 0; i < length; ++i) {
        if (std::fputc(data[i], port.get()) == EOF) {
            return -1;
        }
    }
    // Errors that show only when the stream is closed are not reported.
    port.reset();
    return 0;
}

int send_to_printer(const unsigned char *data, unsigned int length) {
    return send_to_printer_at(paths::kPrinterDevice, data, length);
}
