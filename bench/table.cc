#include "table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

std::vector<Row> rows;

} // namespace

void add_row(Row row) {
    rows.push_back(std::move(row));
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? NAN : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double ms(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

std::string fmt(const char *format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string goal(const std::string &text, bool met) {
    return text + ": " + (met ? "met" : "MISSED");
}

void print_table() {
    size_t w[5] = {0, 0, 0, 0, 0};
    const Row header{"measure", "tovu-voice", "baseline", "ratio", "goal"};
    std::vector<Row> all = {header};
    all.insert(all.end(), rows.begin(), rows.end());
    for (const Row &r : all) {
        const std::string *cells[5] = {&r.what, &r.program, &r.baseline, &r.ratio, &r.goal};
        for (int i = 0; i < 5; ++i) {
            w[i] = std::max(w[i], cells[i]->size());
        }
    }
    for (size_t i = 0; i < all.size(); ++i) {
        const Row &r = all[i];
        std::printf("| %-*s | %*s | %*s | %*s | %-*s |\n", static_cast<int>(w[0]), r.what.c_str(),
                    static_cast<int>(w[1]), r.program.c_str(), static_cast<int>(w[2]),
                    r.baseline.c_str(), static_cast<int>(w[3]), r.ratio.c_str(),
                    static_cast<int>(w[4]), r.goal.c_str());
        if (i == 0) {
            std::printf("|-%s-|-%s:|-%s:|-%s:|-%s-|\n", std::string(w[0], '-').c_str(),
                        std::string(w[1], '-').c_str(), std::string(w[2], '-').c_str(),
                        std::string(w[3], '-').c_str(), std::string(w[4], '-').c_str());
        }
    }
}
