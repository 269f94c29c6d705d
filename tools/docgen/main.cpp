// ved96-docgen: writes the reference documents from the tables they describe.
//
//   ved96-docgen signals|configuration EXAMPLES_DIR            the document on stdout
//   ved96-docgen signals|configuration EXAMPLES_DIR --write FILE
//   ved96-docgen signals|configuration EXAMPLES_DIR --check FILE
//
// --check exits 1, naming the first differing line, when FILE is not what the
// tables make: a committed reference that has drifted.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "references.h"

namespace {

int usage() {
    std::cerr << "usage: ved96-docgen signals|configuration EXAMPLES_DIR "
                 "[--write FILE | --check FILE]\n";
    return 2;
}

int check(const std::string& made, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (in && text.str() == made) return 0;
    std::istringstream a(text.str()), b(made);
    std::string left, right;
    int line = 0;
    while (true) {
        ++line;
        const bool l = static_cast<bool>(std::getline(a, left));
        const bool r = static_cast<bool>(std::getline(b, right));
        if (!l && !r) break;
        if (l != r || left != right) {
            std::cerr << path << ":" << line << ": differs from what the tables make\n"
                      << "  file:   " << (l ? left : "(end)") << "\n"
                      << "  tables: " << (r ? right : "(end)") << "\n";
            break;
        }
    }
    std::cerr << "run scripts/docs to write the references again\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) return usage();
    const std::string which = argv[1];
    std::string made;
    try {
        if (which == "signals")
            made = docgen::signalsReference();
        else if (which == "configuration")
            made = docgen::configurationReference(argv[2]);
        else
            return usage();
    } catch (const std::exception& e) {
        std::cerr << "ved96-docgen: " << e.what() << "\n";
        return 1;
    }
    if (argc == 3) {
        std::cout << made;
        return 0;
    }
    const std::string mode = argv[3], path = argv[4];
    if (mode == "--check") return check(made, path);
    if (mode != "--write") return usage();
    std::ofstream out(path, std::ios::binary);
    out << made;
    if (!out) {
        std::cerr << "ved96-docgen: cannot write " << path << "\n";
        return 1;
    }
    return 0;
}
