// Runs every registered core test and prints "N passed, N failed".
#include <iostream>

#include "check.hpp"

int main() {
    int passed = 0;
    int failed = 0;
    for (const check::Case& test : check::registry()) {
        check::failures_in_case() = 0;
        try {
            test.body();
        } catch (const std::exception& error) {
            check::report(test.name, 0, std::string("unexpected exception: ") + error.what());
        }
        if (check::failures_in_case() == 0) {
            ++passed;
        } else {
            ++failed;
            std::cerr << "FAILED " << test.name << "\n";
        }
    }
    std::cout << passed << " passed, " << failed << " failed\n";
    return failed == 0 ? 0 : 1;
}
