// Reads whitespace-separated 64-bit patterns of doubles in hexadecimal from
// stdin and prints "<pattern> <value form> <decimal form>" per line, so that
// tests in another language can compare both forms against their own
// formatting of the very same bits.
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/text.hpp"

int main() {
    std::string out;
    std::uint64_t bits = 0;
    char pattern[20];
    while (std::scanf("%" SCNx64, &bits) == 1) {
        std::snprintf(pattern, sizeof pattern, "%016" PRIx64 " ", bits);
        out += pattern;
        sigtap::append_float_value_form(out, std::bit_cast<double>(bits));
        out += ' ';
        sigtap::append_decimal(out, std::bit_cast<double>(bits));
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    // Anything left unread means a token was not a hexadecimal pattern.
    return std::feof(stdin) ? 0 : 1;
}
