// The benchmark table: rows added by the measures in the order they are to
// be printed, and the medians, units and goals they are written in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Row {
    std::string what;
    std::string program;
    std::string baseline;
    std::string ratio;
    std::string goal;
};

void add_row(Row row);
// Prints every row added so far under the header, as a Markdown table.
void print_table();

double median(std::vector<double> v); // NAN for none
double ms(int64_t ns);
std::string fmt(const char *format, double value);
// "`text`: met" or "`text`: MISSED".
std::string goal(const std::string &text, bool met);
