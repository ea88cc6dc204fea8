#include <iostream>

#include "driver/run-driver.h"

int main(int argc, char* argv[]) {
    return tracemint::runTracemint(argc, argv, std::cout);
}
