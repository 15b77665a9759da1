// The platform's "/bin/getprop" on the simulated clock: prints the value of
// one property and a line feed (an unset property prints only the line
// feed), or every property as "[name]: [value]" without an argument.
#include "simcore.h"

#include <cstdio>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>

int main(int argc, char** argv) {
    std::string caller = sim::exeName(getppid());
    if (argc == 1) {
        std::vector<std::string> names;
        if (DIR* dir = opendir(sim::PROPS_DIR)) {
            while (dirent* e = readdir(dir)) {
                if (sim::validName(e->d_name) && std::string(e->d_name).find(".sim") == std::string::npos)
                    names.push_back(e->d_name);
            }
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        for (const auto& n : names) std::printf("[%s]: [%s]\n", n.c_str(), sim::getProp(n).c_str());
        sim::event(caller, "getprop (all)");
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: getprop [NAME]\n");
        return 1;
    }
    std::string value = sim::getProp(argv[1]);
    std::string out = value + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    sim::event(caller, "getprop " + sim::shown(argv[1]) + " -> " + sim::shown(value));
    return 0;
}
