#include <unistd.h>

#include <iostream>

#include "common/descriptor-stream.h"
#include "driver/run-driver.h"

int main(int argc, char* argv[]) {
    // The standard streams write through buffers that repeat interrupted writes.
    tracemint::DescriptorStreamBuffer out(STDOUT_FILENO), err(STDERR_FILENO);
    std::streambuf* savedOut = std::cout.rdbuf(&out);
    std::streambuf* savedErr = std::cerr.rdbuf(&err);
    int status = tracemint::runTracemint(argc, argv, std::cout, std::cerr);
    std::cout.flush();
    std::cerr.flush();
    std::cout.rdbuf(savedOut);
    std::cerr.rdbuf(savedErr);
    return status;
}
