#include "check.hpp"

int main() {
    int passed = 0, failed = 0;
    for (const check::Case& c : check::registry()) {
        const int before = check::failures();
        try {
            c.body();
        } catch (const std::exception& e) {
            check::fail(c.name, 0, std::string("unexpected exception: ") + e.what());
        }
        if (check::failures() != before) {
            std::cerr << "FAILED: " << c.name << "\n";
            ++failed;
        } else {
            ++passed;
        }
    }
    std::cout << passed << " passed, " << failed << " failed\n";
    return failed == 0 ? 0 : 1;
}
