// The daemon's own objects call nothing that a static C library loads at run time or that ties
// the binary to the build machine's C library: no locale or iconv set-up, no dlopen, no name
// service (passwd, hosts) look-ups. Only some of these make the static link warn (NSS,
// getaddrinfo, dlopen); the others would link quietly and then behave differently on a board
// whose C library is another one, so each object is looked at with `nm -u`.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run_command.hpp"

namespace {

const char* const exact_names[] = {"setlocale", "newlocale", "iconv_open", "dlopen", "getaddrinfo"};
const char* const name_prefixes[] = {"getpw", "gethostby"};

bool refused(const std::string& symbol) {
    for (const char* name : exact_names)
        if (symbol == name) return true;
    for (const char* prefix : name_prefixes)
        if (symbol.rfind(prefix, 0) == 0) return true;
    return false;
}

std::vector<std::string> words(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string word; std::getline(in, word, separator);)
        if (!word.empty()) out.push_back(word);
    return out;
}

// The undefined symbols of an object or archive, as `nm -u` lists them ("U name" lines).
std::set<std::string> undefined_symbols(const std::string& file) {
    const run_result listed = run(std::string(NANVIDEO_NM) + " -u '" + file + "'");
    EXPECT_EQ(listed.status, 0) << listed.output;
    std::set<std::string> symbols;
    for (const std::string& line : words(listed.output, '\n')) {
        const std::vector<std::string> fields = words(line, ' ');
        if (fields.size() == 2 && fields[0] == "U") symbols.insert(fields[1]);
    }
    return symbols;
}

TEST(DaemonObjects, CallNoLocaleIconvDlopenOrNameServiceFunction) {
    std::ifstream list(NANVIDEO_DAEMON_OBJECTS_LIST);
    const std::vector<std::string> files =
        words(std::string(std::istreambuf_iterator<char>(list), {}), '\n');
    ASSERT_FALSE(files.empty());
    std::set<std::string> all;
    for (const std::string& file : files) {
        for (const std::string& symbol : undefined_symbols(file)) {
            EXPECT_FALSE(refused(symbol)) << file << " calls " << symbol;
            all.insert(symbol);
        }
    }
    // The listing is the objects' own: the SPI set-up's ioctl and the server's socket are in it.
    EXPECT_TRUE(all.count("ioctl") == 1 && all.count("socket") == 1) << all.size() << " symbols";
}

}  // namespace
