// A library that leaves a mark (the file named by TALLYVANE_MARKING_FILE) when anything loads
// it: the hostile connection tests name it, disguised, as a driver and prove it never loads.
#include <cstdio>
#include <cstdlib>

namespace {

struct TMarkOnLoad {
    TMarkOnLoad() {
        if (const char* path = std::getenv("TALLYVANE_MARKING_FILE")) {
            if (std::FILE* f = std::fopen(path, "w")) {
                std::fputs("loaded\n", f);
                std::fclose(f);
            }
        }
    }
};

const TMarkOnLoad Mark;

} // namespace
