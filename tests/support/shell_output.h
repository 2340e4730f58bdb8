// What a shell command prints on standard output (checks with secret-tool,
// groff, man and the program's own --help).
#pragma once

#include <cstdio>
#include <string>

namespace zelmar::test {

inline std::string ShellOutput(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[512];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

}  // namespace zelmar::test
